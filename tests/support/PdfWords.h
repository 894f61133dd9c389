// A printed PDF read back: its words with their pages and places, as
// pdftotext -bbox finds them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct PdfWord {
    int Page = 0; // from 1
    // The word's box in points (1/72 inch) from the page's top-left corner.
    double XMin = 0, YMin = 0, XMax = 0, YMax = 0;
    std::string Text;
};

// The words of the PDF in the order pdftotext gives them (its HTML output is
// written beside the PDF). False when pdftotext failed.
bool ReadPdfWords(const std::filesystem::path& pdf, std::vector<PdfWord>& words);
