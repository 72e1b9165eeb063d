// Office documents, a PDF and the editors that name their file only in their window's title:
// LibreOffice Writer, Calc and Impress (one office process holds all three documents), Evince,
// Geany, KWrite, Kate and GNOME Text Editor.
#include <cstdio>

#include "desktop/desktop_session.h"

namespace desktop_test {
namespace {

// A one-page PDF whose document title differs from its file's name, as a viewer's window
// title shows both ("paper.pdf — Quarterly Figures").
std::string pdfWithTitle(const std::string& title) {
    const std::vector<std::string> objects{
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>", "<< /Title (" + title + ") >>"};
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t table = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t offset : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R /Info 4 0 R >>\nstartxref\n" + std::to_string(table) + "\n%%EOF\n";
    return pdf;
}

// A flat OpenDocument file of the given kind with one body element.
std::string flatDocument(const std::string& mimeType, const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
           "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
           "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
           "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
           "office:version=\"1.2\" office:mimetype=\"" +
           mimeType + "\"><office:body>" + body + "</office:body></office:document>\n";
}

std::vector<RealApplication> officeAndEditors(const SessionFolders& folders) {
    const std::string& docs = folders.docs;
    const std::string report = docs + "/report.fodt";
    const std::string budget = docs + "/budget.fods";
    const std::string slides = docs + "/slides.fodp";
    test_support::writeFile(report, flatDocument("application/vnd.oasis.opendocument.text",
                                                 "<office:text><text:p>Hello</text:p>"
                                                 "</office:text>"));
    test_support::writeFile(
        budget, flatDocument("application/vnd.oasis.opendocument.spreadsheet",
                             "<office:spreadsheet><table:table table:name=\"Costs\">"
                             "<table:table-row><table:table-cell office:value-type=\"string\">"
                             "<text:p>rent</text:p></table:table-cell></table:table-row>"
                             "</table:table></office:spreadsheet>"));
    test_support::writeFile(slides,
                            flatDocument("application/vnd.oasis.opendocument.presentation",
                                         "<office:presentation><draw:page draw:name=\"One\"/>"
                                         "</office:presentation>"));
    writeLibreOfficeProfile(folders.root);
    test_support::writeFile(docs + "/paper.pdf", pdfWithTitle("Quarterly Figures"));
    test_support::writeFile(docs + "/geany notes.txt", "geany\n");
    test_support::writeFile(docs + "/kwrite.txt", "kwrite\n");
    test_support::writeFile(docs + "/kate file.txt", "kate\n");
    test_support::writeFile(docs + "/plain.txt", "plain\n");
    // One office process opens the three documents, each in a window of its own module;
    // the rows of Calc and Impress find their windows without a command of their own.
    return {
        {"LibreOffice Writer",
         "libreoffice-writer",
         "libreoffice-writer",
         "report.fodt",
         fileURL(report),
         false,
         {"soffice", "--norestore", "-env:UserInstallation=file://" + folders.root + "/libreoffice",
          report, budget, slides},
         -1,
         {}},
        {"LibreOffice Calc",
         "libreoffice-calc",
         "libreoffice-calc",
         "budget.fods",
         fileURL(budget),
         false,
         {},
         -1,
         {}},
        {"LibreOffice Impress",
         "libreoffice-impress",
         "libreoffice-impress",
         "slides.fodp",
         fileURL(slides),
         false,
         {},
         -1,
         {}},
        {"Evince",
         "org.gnome.Evince",
         "evince",
         "paper.pdf",
         fileURL(docs + "/paper.pdf"),
         true,
         {"evince", docs + "/paper.pdf"},
         -1,
         {}},
        {"Geany",
         "geany",
         "geany",
         "geany notes.txt",
         fileURL(docs + "/geany notes.txt"),
         true,
         {"geany", docs + "/geany notes.txt"},
         -1,
         {}},
        {"KWrite",
         "org.kde.kwrite",
         "kwrite",
         "kwrite.txt",
         fileURL(docs + "/kwrite.txt"),
         true,
         {"kwrite", docs + "/kwrite.txt"},
         -1,
         {}},
        {"Kate",
         "org.kde.kate",
         "kate",
         "kate file.txt",
         fileURL(docs + "/kate file.txt"),
         true,
         {"kate", docs + "/kate file.txt"},
         -1,
         {}},
        {"GNOME Text Editor",
         "org.gnome.TextEditor",
         "gnome-text-editor",
         "plain.txt",
         fileURL(docs + "/plain.txt"),
         true,
         {"gnome-text-editor", docs + "/plain.txt"},
         -1,
         {}},
    };
}

const GroupRegistration registration{"office-and-editors", officeAndEditors};

}  // namespace
}  // namespace desktop_test
