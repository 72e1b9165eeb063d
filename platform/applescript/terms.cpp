#include "terms.h"

#include "platform/utf.h"

namespace platform::applescript {

std::string lowercased(std::string_view text) {
    return utf::asciiLowercased(text);
}

const std::vector<Term>& terms() {
    // Properties and element classes that connectors address. Applications answer get-data
    // events for specifiers built from these codes.
    static const std::vector<Term> table = {
        {"name", nullptr, fourCharCode("pnam"), false},
        {"url", nullptr, fourCharCode("pURL"), false},
        {"path", nullptr, fourCharCode("ppth"), false},
        {"file", nullptr, fourCharCode("file"), false},
        {"selection", nullptr, fourCharCode("sele"), false},
        {"id", nullptr, fourCharCode("ID  "), false},
        {"title", nullptr, fourCharCode("titl"), false},
        {"active tab", nullptr, fourCharCode("acTa"), false},
        {"subject", nullptr, fourCharCode("subj"), false},
        {"message id", nullptr, fourCharCode("meid"), false},
        {"reference url", nullptr, fourCharCode("rURL"), false},
        {"insertion location", nullptr, fourCharCode("pins"), false},
        {"full name", nullptr, fourCharCode("FNam"), false},
        {"index", nullptr, fourCharCode("pidx"), false},
        {"current page", nullptr, fourCharCode("cpag"), false},
        {"selected objects", nullptr, fourCharCode("selO"), false},
        {"headers", nullptr, fourCharCode("hdrs"), false},
        {"active workbook", nullptr, fourCharCode("acwb"), false},
        {"active presentation", nullptr, fourCharCode("acpr"), false},
        {"active document", nullptr, fourCharCode("acdc"), false},
        {"posix path", nullptr, fourCharCode("psxp"), false},
        {"version", nullptr, fourCharCode("vers"), false},
        {"frontmost", nullptr, fourCharCode("pisf"), false},
        {"contents", nullptr, fourCharCode("pcnt"), false},
        {"length", nullptr, fourCharCode("leng"), false},
        {"bundle identifier", nullptr, fourCharCode("bnid"), false},
        {"document", "documents", fourCharCode("docu"), true},
        {"window", "windows", fourCharCode("cwin"), true},
        {"item", "items", fourCharCode("cobj"), true},
        {"paragraph", "paragraphs", fourCharCode("cpar"), true},
        {"word", "words", fourCharCode("cwor"), true},
        {"character", "characters", fourCharCode("cha "), true},
        {"text", nullptr, fourCharCode("ctxt"), true},
        {"text item", "text items", fourCharCode("citm"), true},
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
