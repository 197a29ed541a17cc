#pragma once

#include <cstdint>

// The type byte of a frame: which Velmor class the encoding after it holds. No other value
// is valid on the wire. The underlying type is fixed so that any received byte, valid or
// not, can be carried in it for the diagnostics.
namespace MessageTypes {
enum MessageType : int {
    Logout = 43,
    ObjectInfo = 44,
    ObjectUpdate = 45,
    ObjectDestroy = 46,
    ClientUpdate = 47,
    Welcome = 48,
    Login = 49,
    ServerWelcome = 50,
    ConnectToNearBy = 51,
    TransferControl = 52,
    CoordinatorWelcome = 53,
    TransferPlayerTo = 54,
    RegionUpdate = 55,
    ServerStatus = 56,
    Ping = 57,
    Pong = 58
};
}

// Login's loginType: a client's first login, a client's further connection (one per watched
// server), or a neighbour region server. The underlying type is the field's.
namespace LoginType {
enum LoginType : uint32_t { First = 0, Additional = 1, NearServer = 2 };
}

// Logout's logoutAsType: the client leaves, or it stays connected as a watcher.
namespace LogoutType {
enum LogoutType : uint32_t { Primary = 0, Watcher = 1 };
}

// The steering bits of ClientUpdate's boostersOn. Directions are in the ship's own frame.
namespace Steering {
enum Bits : uint32_t {
    ThrustForward = 0x1, // +z
    ThrustBack = 0x2,    // -z
    ThrustLeft = 0x4,    // -x
    ThrustRight = 0x8,   // +x
    ThrustUp = 0x10,     // +y
    ThrustDown = 0x20,   // -y
    SelfDestruct = 0x10000000,
    Brake = 0x20000000,
    Fire = 0x40000000
};
}
