// The resources compiled into the Corvane library, apart from its type library: the two
// interface-identifier records, the toolbox bitmap, the design-surface picture and the
// version information. All of it is constant data with static storage, valid while the
// module is loaded; the library's registration record lists it for platform::findResource.
#pragma once

#include <cstdint>
#include <span>

#include "platform/module_record.h"

namespace port_control {

// Type "BITMAP": the toolbox picture, a whole .bmp file (16 x 15, 24 bits per pixel).
constexpr uint16_t kToolboxBitmapId = 30000;
// Type "GIF": the picture shown by Image1 on the design surface, a whole .gif file.
constexpr uint32_t kFacePictureId = 1;

// "_IID_PORTULA" 1 and "_SRCIID_PORTULA" 1 (20 bytes each: the little-endian 32-bit value
// 16, then the IID of _Portula / __Portula in the platform's GUID layout), "BITMAP" 30000,
// "GIF" 1 and "VERSION" 1 (a VS_VERSIONINFO block: version 1.0.0.1, language 0x0411 with
// code page 1200, "OLESelfRegister" present).
std::span<const platform::ResourceRecord> corvaneResources();

}  // namespace port_control
