// A real print queue for tests: a CUPS server of the test's own (its
// configuration, spool and socket in a temporary folder) with a cups-pdf queue
// as the default printer, and what is needed to look at the PDF that comes out
// of it.
//
// The queue renders a job to PostScript and back to PDF with Ghostscript,
// which turns the fonts into glyph procedures without their letters, so the
// queue's PDF cannot be read as text. Its words are found by their ink: the
// PDF printed straight into a file and the queue's PDF are rasterised, and the
// ink around every word of the direct PDF (whose words pdftotext reads at
// their places) must be the same in the queue's PDF.
//
// Needs root (cupsd, and cups-pdf's configuration in its fixed folder); the
// packages come from scripts/setup, and when they are missing under root the
// tests fail rather than pass unseen.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// A rectangle on the paper, in millimetres from its top-left corner.
struct PaperBox {
    double left, top, right, bottom;
};

struct PaperWord {
    int page; // from 1
    PaperBox box;
    std::string text;
};

// The words of a PDF with their pages and boxes (a test failure when
// pdftotext fails).
std::vector<PaperWord> ReadPaperWords(const std::filesystem::path& pdf);

// The number of pages of a PDF; -1 when pdfinfo cannot tell.
int PdfPageCount(const std::filesystem::path& pdf);

// Every word of the direct PDF has the same ink around it in the queue's PDF,
// within half a millimetre on each side, page by page (test failures).
void ExpectSameInk(const std::filesystem::path& direct, const std::filesystem::path& queued,
                   const std::vector<PaperWord>& words, int pages);

// cupsd in the foreground with a cups-pdf queue "clbtest<pid>" as its default
// printer; CUPS_SERVER of this process (and so of its children) names it.
// Everything it made goes with it, whether the tests pass or fail.
class CupsServer {
public:
    // Throws with the reason when it cannot be set up.
    CupsServer();
    ~CupsServer();
    CupsServer(const CupsServer&) = delete;
    CupsServer& operator=(const CupsServer&) = delete;

    const std::string& Queue() const;
    std::filesystem::path Output() const;
    std::string ErrorLog() const;

    // Empties the queue's output folder.
    void ClearOutput() const;
    // The one PDF that the queue writes, once complete (copied to
    // CLB_KEEP_PDF when set); empty, with a test failure, when none comes.
    std::filesystem::path WaitForOutput() const;

    // Why a queue cannot be had here: "" when it can. skip is set when the
    // tests cannot run at all (not root), broken when they should and cannot
    // (a package missing). Removes what killed runs left behind.
    static void Check(std::string& skip, std::string& broken);

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};
