// The control's design surface: the items placed on it and the design-time values of its
// three inner components. Loading the surface creates the real components: a termios
// serial port and two UDP sockets.
#pragma once

#include <span>

#include "portula.h"

namespace port_control {

struct DesignItem {
    const char* name;
    const char* typeName;
    int leftTwips;
    int topTwips;
};

// Image1 (the face shown only in design mode), Winsock1, MSComm1, Winsock2.
std::span<const DesignItem> designSurfaceItems();

// The face's size: the control keeps itself at this size.
constexpr int kFaceSizeTwips = 435;

// Creates the inner components with their design-time values: serial port 1 at
// "9600,n,8,1", buffers 1024 / 512, parity replacement "?"; both sockets UDP with an empty
// remote host and ports 0. Winsock1 only sends: it drops what arrives at its port.
Components loadDesignSurface();

}  // namespace port_control
