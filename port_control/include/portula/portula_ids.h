// The published identifiers of the Corvane control library: what a host binds against.
// Header-only, so a host may include it without linking the library.
#pragma once

#include "platform/language_standard.h"

#include <cstdint>

#include "platform/guid.h"

namespace port_control::ids {

// Type library "Corvane", version 67.0, locale 0x0409 inside, registered language-neutral.
constexpr platform::Guid LIBID_Corvane{
    0x70EA1CB1, 0x0F47, 0x4800, {0x95, 0xEA, 0x58, 0xFD, 0x1B, 0x89, 0xC6, 0x4B}};
constexpr uint16_t kTypeLibMajor = 67;
constexpr uint16_t kTypeLibMinor = 0;

constexpr platform::Guid CLSID_Portula{
    0x4ACD93B7, 0x4A1E, 0x48E6, {0xB6, 0xCE, 0xBE, 0x0B, 0xA1, 0x78, 0x5C, 0x43}};
constexpr platform::Guid IID__Portula{
    0xAE41BAE6, 0x2B97, 0x41DA, {0x83, 0x74, 0x6B, 0xBB, 0x84, 0xB8, 0xA9, 0x01}};
constexpr platform::Guid DIID___Portula{
    0xABFBDDDB, 0x8142, 0x4D1F, {0x93, 0x22, 0x3E, 0x0D, 0xE1, 0x1D, 0x29, 0x83}};
constexpr const char16_t* kProgId = u"Corvane.Portula";

// DISPIDs of _Portula: the member at interface position n has 0x68030000 + (30 - n).
namespace dispid {
constexpr int32_t LogFile = 0x6803001D;
constexpr int32_t Settings = 0x6803001C;
constexpr int32_t Break = 0x6803001B;
constexpr int32_t CDHolding = 0x6803001A;
constexpr int32_t CommEvent = 0x68030019;
constexpr int32_t CommID = 0x68030018;
constexpr int32_t CommPort = 0x68030017;
constexpr int32_t CTSHolding = 0x68030016;
constexpr int32_t DSRHolding = 0x68030015;
constexpr int32_t DTREnable = 0x68030014;
constexpr int32_t EOFEnable = 0x68030013;
constexpr int32_t Handshaking = 0x68030012;
constexpr int32_t InBufferCount = 0x68030011;
constexpr int32_t InBufferSize = 0x68030010;
constexpr int32_t InputLen = 0x6803000F;
constexpr int32_t InputMode = 0x6803000E;
constexpr int32_t NullDiscard = 0x6803000D;
constexpr int32_t OutBufferCount = 0x6803000C;
constexpr int32_t OutBufferSize = 0x6803000B;
constexpr int32_t ParityReplace = 0x6803000A;
constexpr int32_t RThreshold = 0x68030009;
constexpr int32_t RTSEnable = 0x68030008;
constexpr int32_t SThreshold = 0x68030007;
constexpr int32_t PortOpen = 0x68030006;
constexpr int32_t Output = 0x68030005;
constexpr int32_t Input2 = 0x68030004;
constexpr int32_t UDPUse = 0x68030003;
constexpr int32_t RemoteHost = 0x68030002;
constexpr int32_t RemotePort = 0x68030001;
constexpr int32_t LocalPort = 0x68030000;
// __Portula
constexpr int32_t OnComm = 1;
}  // namespace dispid

}  // namespace port_control::ids
