#pragma once

// Every message class of Object.proto, declared for headers that only pass them by pointer or
// reference; code that builds or reads one includes Object.pb.h. Keep in step with the .proto.
namespace Velmor {
class Position;
class Orientation;
class ObjectInfo;
class PlayerData;
class ServerObjectData;
class ProjectileData;
class ObjectUpdate;
class ObjectDestroy;
class Logout;
class Login;
class ServerWelcome;
class CoordinatorWelcome;
class ConnectToNearBy;
class PlayerConnectInfo;
class TransferControl;
class TransferPlayerTo;
class Welcome;
class ClientUpdate;
class NeighbourHost;
class Region;
class RegionUpdate;
class ExistingRegion;
class FutureRegions;
class ServerStatus;
class Ping;
class Pong;
} // namespace Velmor
