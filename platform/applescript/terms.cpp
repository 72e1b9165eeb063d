#include "terms.h"

#include "platform/standard_suite.h"
#include "platform/utf.h"

namespace platform::applescript {

std::string lowercased(std::string_view text) {
    return utf::asciiLowercased(text);
}

const std::vector<Term>& terms() {
    // Properties and element classes that connectors address. Applications answer get-data
    // events for specifiers built from these codes: the standard suite's from the header those
    // applications read as well, the others each of one application.
    static const std::vector<Term> table = {
        {"name", nullptr, pName, false},
        {"url", nullptr, pURL, false},
        {"path", nullptr, pPath, false},
        {"file", nullptr, pFile, false},
        {"selection", nullptr, fourCharCode("sele"), false},
        {"id", nullptr, fourCharCode("ID  "), false},
        {"title", nullptr, fourCharCode("titl"), false},
        {"active tab", nullptr, fourCharCode("acTa"), false},
        {"subject", nullptr, fourCharCode("subj"), false},
        {"message id", nullptr, fourCharCode("meid"), false},
        {"reference url", nullptr, fourCharCode("rURL"), false},
        {"insertion location", nullptr, fourCharCode("pins"), false},
        {"full name", nullptr, fourCharCode("FNam"), false},
        {"index", nullptr, pIndex, false},
        {"current page", nullptr, fourCharCode("cpag"), false},
        {"selected objects", nullptr, fourCharCode("selO"), false},
        {"headers", nullptr, fourCharCode("hdrs"), false},
        {"active workbook", nullptr, fourCharCode("acwb"), false},
        {"active presentation", nullptr, fourCharCode("acpr"), false},
        {"active document", nullptr, fourCharCode("acdc"), false},
        {"posix path", nullptr, pPOSIXPath, false},
        {"version", nullptr, pVersion, false},
        {"frontmost", nullptr, pIsFrontmost, false},
        {"contents", nullptr, pContents, false},
        {"length", nullptr, pLength, false},
        {"bundle identifier", nullptr, fourCharCode("bnid"), false},
        {"document", "documents", cDocument, true},
        {"window", "windows", cWindow, true},
        {"item", "items", cItem, true},
        {"paragraph", "paragraphs", cParagraph, true},
        {"word", "words", cWord, true},
        {"character", "characters", cCharacter, true},
        {"text", nullptr, cText, true},
        {"text item", "text items", cTextItem, true},
        {"workspace document", "workspace documents", fourCharCode("wrkd"), true},
        {"disk item", "disk items", fourCharCode("ditm"), true},
        {"folder", "folders", fourCharCode("cfol"), true},
    };
    return table;
}

std::string termName(FourCharCode code) {
    for (const Term& term : terms()) {
        if (term.code == code) {
            return term.words;
        }
    }
    return "«" + fourCharCodeString(code) + "»";
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && lowercased(a) == lowercased(b);
}

}  // namespace platform::applescript
