#pragma once

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
