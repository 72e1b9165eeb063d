// The language's vocabulary: the terms that name properties and element classes of the
// applications connectors address, and the case rules that words and texts compare by.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/four_char_code.h"

namespace platform::applescript {

struct Term {
    const char* words;   // lower case, single spaces
    const char* plural;  // classes only; null when the class has no plural form
    FourCharCode code;
    bool isClass;
};
// The term table shared by the parser and the runtime's messages.
const std::vector<Term>& terms();
// The words of a property or class code, for messages; the code's characters when unknown.
std::string termName(FourCharCode code);

// Words and texts compare without regard to ASCII case, as the language does by default.
std::string lowercased(std::string_view text);
bool equalIgnoringCase(std::string_view a, std::string_view b);

}  // namespace platform::applescript
