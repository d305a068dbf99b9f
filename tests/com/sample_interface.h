// A small interface of the COM tests' own, described as the product's
// interfaces are, with one method of each shape that the frame codec
// carries: no arguments, numbers of each width with a text, [out] values.
// Nothing implements it: it describes calls, it serves none.
#pragma once

#include "com/com.h"

namespace wl::test {

inline constexpr GUID kSampleIid{0x2C7E5A13, 0x9B40, 0x4D6F, {0xA8, 0x21, 0x5F, 0x3C, 0x90, 0xE4, 0x17, 0xB6}};

inline constexpr platform::ParamDescription kSampleAppendParams[] = {
    {L"ulKind", VT_UI4, false}, {L"ulWeight", VT_UI4, false}, {L"bsText", VT_BSTR, false}, {L"bLast", VT_I2, false}};
inline constexpr platform::ParamDescription kSampleCountParams[] = {{L"pCount", VT_UI4 | VT_BYREF, true}};
inline constexpr platform::ParamDescription kSampleWeightParams[] = {{L"ulKind", VT_UI4, false},
                                                                     {L"pulWeight", VT_UI4 | VT_BYREF, true}};
inline constexpr platform::ParamDescription kSampleNoteParams[] = {
    {L"uKind", VT_UI2, false}, {L"uWeight", VT_UI2, false}, {L"bsText", VT_BSTR, false}};

inline constexpr platform::MethodDescription kSampleMethods[] = {
    {L"Clear", 1, 7, L"method Clear", {}, nullptr},
    {L"Append", 2, 8, L"method Append", kSampleAppendParams, nullptr},
    {L"GetCount", 3, 9, L"method GetCount", kSampleCountParams, nullptr},
    {L"GetWeight", 4, 10, L"method GetWeight", kSampleWeightParams, nullptr},
    {L"Note", 5, 11, L"method Note", kSampleNoteParams, nullptr},
};

inline constexpr platform::InterfaceDescription kSampleInterface{
    L"ISample",     kSampleIid, L"ISample Interface", TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
    kSampleMethods, nullptr};

}  // namespace wl::test
