#include "PdfWords.h"

#include "TestFiles.h"

#include <cstdlib>
#include <regex>

bool ReadPdfWords(const std::filesystem::path& pdf, std::vector<PdfWord>& words)
{
    const std::filesystem::path html = pdf.string() + ".html";
    const bool ok = std::system(("pdftotext -bbox '" + pdf.string() + "' '" + html.string() + "'").c_str()) == 0;
    const std::string h = ReadFile(html);
    const std::regex item(
        R"re(<page |<word xMin="([0-9.]+)" yMin="([0-9.]+)" xMax="([0-9.]+)" yMax="([0-9.]+)">([^<]*)</word>)re");
    words.clear();
    int page = 0;
    for (auto it = std::sregex_iterator(h.begin(), h.end(), item); it != std::sregex_iterator(); ++it) {
        if (!(*it)[1].matched) {
            ++page;
            continue;
        }
        words.push_back({page, std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]), std::stod((*it)[4]),
                         (*it)[5]});
    }
    return ok;
}
