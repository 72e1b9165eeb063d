// Four-character codes: the 32-bit tags of Apple Event classes, IDs, keywords and descriptor
// types, and the status codes the platform answers with.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

using FourCharCode = std::uint32_t;
using DescType = FourCharCode;
using AEKeyword = FourCharCode;
using AEEventClass = FourCharCode;
using AEEventID = FourCharCode;
using OSStatus = std::int32_t;
using OSErr = std::int16_t;

// Builds a code from its four characters, the first in the most significant byte.
constexpr FourCharCode fourCharCode(const char (&text)[5]) {
    return (static_cast<FourCharCode>(static_cast<unsigned char>(text[0])) << 24) |
           (static_cast<FourCharCode>(static_cast<unsigned char>(text[1])) << 16) |
           (static_cast<FourCharCode>(static_cast<unsigned char>(text[2])) << 8) |
           static_cast<FourCharCode>(static_cast<unsigned char>(text[3]));
}

// The four characters of a code, for logs and diagnostics.
std::string fourCharCodeString(FourCharCode code);

// Descriptor types.
inline constexpr DescType typeNull = fourCharCode("null");
inline constexpr DescType typeUnicodeText = fourCharCode("utxt");
inline constexpr DescType typeUTF8Text = fourCharCode("utf8");
inline constexpr DescType typeSInt32 = fourCharCode("long");
inline constexpr DescType typeIEEE64BitFloatingPoint = fourCharCode("doub");
inline constexpr DescType typeBoolean = fourCharCode("bool");
inline constexpr DescType typeTrue = fourCharCode("true");
inline constexpr DescType typeFalse = fourCharCode("fals");
inline constexpr DescType typeType = fourCharCode("type");
inline constexpr DescType typeEnumerated = fourCharCode("enum");
inline constexpr DescType typeAERecord = fourCharCode("reco");
inline constexpr DescType typeAEList = fourCharCode("list");
inline constexpr DescType typeAppleEvent = fourCharCode("aevt");
inline constexpr DescType typeObjectSpecifier = fourCharCode("obj ");
inline constexpr DescType typeApplicationBundleID = fourCharCode("bund");
inline constexpr DescType typeProcessSerialNumber = fourCharCode("psn ");
inline constexpr DescType typeKernelProcessID = fourCharCode("kpid");

// Keywords and attributes.
inline constexpr AEKeyword keyDirectObject = fourCharCode("----");
inline constexpr AEKeyword keyAddressAttr = fourCharCode("addr");
inline constexpr AEKeyword keyASSubroutineName = fourCharCode("snam");
inline constexpr AEKeyword keyASUserRecordFields = fourCharCode("usrf");
inline constexpr AEKeyword keyErrorNumber = fourCharCode("errn");
inline constexpr AEKeyword keyErrorString = fourCharCode("errs");
inline constexpr AEKeyword keyAEDesiredClass = fourCharCode("want");
inline constexpr AEKeyword keyAEContainer = fourCharCode("from");
inline constexpr AEKeyword keyAEKeyForm = fourCharCode("form");
inline constexpr AEKeyword keyAEKeyData = fourCharCode("seld");
// Key forms of an object specifier.
inline constexpr DescType formPropertyID = fourCharCode("prop");
inline constexpr DescType formAbsolutePosition = fourCharCode("indx");
inline constexpr DescType formName = fourCharCode("name");
inline constexpr DescType formUserPropertyID = fourCharCode("usrp");
// The class of a property specifier, and ordinal positions ('abso' data: first, last, every).
inline constexpr DescType cProperty = fourCharCode("prop");
inline constexpr DescType typeAbsoluteOrdinal = fourCharCode("abso");

// Event classes and IDs of the platform.
inline constexpr AEEventClass kInternetEventClass = fourCharCode("GURL");
inline constexpr AEEventID kAEGetURL = fourCharCode("GURL");
inline constexpr AEEventClass kASAppleScriptSuite = fourCharCode("ascr");
inline constexpr AEEventID kASSubroutineEvent = fourCharCode("psbr");
inline constexpr AEEventClass kAECoreSuite = fourCharCode("core");
inline constexpr AEEventID kAEGetData = fourCharCode("getd");

// Return and transaction IDs of a new event.
inline constexpr std::int16_t kAutoGenerateReturnID = -1;
inline constexpr std::int32_t kAnyTransactionID = 0;

// Send modes.
inline constexpr std::int32_t kAENoReply = 0x00000001;
inline constexpr std::int32_t kAEQueueReply = 0x00000002;
inline constexpr std::int32_t kAEWaitReply = 0x00000003;

// Status codes.
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus paramErr = -50;
inline constexpr OSStatus procNotFound = -600;
inline constexpr OSStatus errAECoercionFail = -1700;
inline constexpr OSStatus errAEDescNotFound = -1701;
inline constexpr OSStatus errAENotAEDesc = -1704;
inline constexpr OSStatus errAEEventNotHandled = -1708;
inline constexpr OSStatus errAETimeout = -1712;
inline constexpr OSStatus errAENoSuchObject = -1728;
inline constexpr OSStatus errAEEventNotPermitted = -1743;
inline constexpr OSStatus errOSASystemError = -2700;
inline constexpr OSStatus errAEEventFailed = -10000;
inline constexpr OSStatus errAEPrivilegeError = -10004;
inline constexpr OSStatus errOSASyntaxError = -2741;

}  // namespace platform
