// The codes of the standard suite that scriptable applications share: the classes of their
// objects, the properties connectors read, and the ordinal positions of an element. The script
// language's terms, the object model and the applications that answer it all spell them from
// here, so that a script and the application it asks agree by construction.
#pragma once

#include "platform/four_char_code.h"

namespace platform {

// Classes. The application is the root of every object specifier (a null container).
inline constexpr DescType cApplication = fourCharCode("capp");
inline constexpr DescType cWindow = fourCharCode("cwin");
inline constexpr DescType cDocument = fourCharCode("docu");
// Items of a list and the parts of a text.
inline constexpr DescType cItem = fourCharCode("cobj");
inline constexpr DescType cText = fourCharCode("ctxt");
inline constexpr DescType cParagraph = fourCharCode("cpar");
inline constexpr DescType cWord = fourCharCode("cwor");
inline constexpr DescType cCharacter = fourCharCode("cha ");
inline constexpr DescType cTextItem = fourCharCode("citm");

// Properties.
inline constexpr DescType pName = fourCharCode("pnam");
inline constexpr DescType pURL = fourCharCode("pURL");
inline constexpr DescType pPath = fourCharCode("ppth");
inline constexpr DescType pFile = fourCharCode("file");
inline constexpr DescType pIsFrontmost = fourCharCode("pisf");
inline constexpr DescType pContents = fourCharCode("pcnt");
inline constexpr DescType pLength = fourCharCode("leng");
inline constexpr DescType pIndex = fourCharCode("pidx");
inline constexpr DescType pID = fourCharCode("ID  ");
inline constexpr DescType pVersion = fourCharCode("vers");
inline constexpr DescType pPOSIXPath = fourCharCode("psxp");

// Ordinal positions: the code in the key data ('abso', or an enumeration) of an absolute-position
// specifier.
inline constexpr DescType kAEFirst = fourCharCode("firs");
inline constexpr DescType kAEMiddle = fourCharCode("midd");
inline constexpr DescType kAELast = fourCharCode("last");
inline constexpr DescType kAEAny = fourCharCode("any ");
inline constexpr DescType kAEAll = fourCharCode("all ");

}  // namespace platform
