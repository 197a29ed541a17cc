#pragma once

#include <list>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Common/Math/Vector3.h"
#include "Common/Region/ControllingServer.h"
#include "Common/Region/Region.h"

// The pool: every region server the coordinator or a neighbour's login has named, this
// server's own entry included. Owns its entries; the pointers it hands out stay valid as
// long as the entry stays in the pool (the server never removes one). Lookups scan in
// pool order, each server's regions in list order; an index added later must keep that
// order. Main thread only.
class RegionHandler {
public:
    RegionHandler() = default;
    ~RegionHandler();
    RegionHandler(const RegionHandler&) = delete;
    RegionHandler& operator=(const RegionHandler&) = delete;

    // The entry with this id, or a new one at the front of the pool. Never null.
    virtual ControllingServer* AddServerToPool(unsigned int id);

    // Removes the first entry with s's id; pointers to it dangle afterwards.
    virtual void RemoveServerFromPool(ControllingServer* s);

    ControllingServer* getControllingServer(unsigned int id);
    Region* getRegion(unsigned int id);

    // Every region that holds the point with the given padding; see Region::PointIn.
    std::list<Region*> getRegionsPointIsIn(Vector3 point, float padding);
    bool pointIsInRegion(Region* region, Vector3 point, float padding);

    // The entry holding this TCP socket; entries without a socket never match.
    ControllingServer* getServer(boost::asio::ip::tcp::socket* tcpSocket);

    // The entry with this qport whose TCP peer has the datagram's IP address (ports are
    // not compared). Reads the peer address from the socket: a broken connection throws
    // the socket library's error to the caller.
    ControllingServer* getServer(boost::asio::ip::udp::endpoint* udpEndpoint, unsigned int qport);

    // The entry that is this endpoint, or null. Found by identity, not by endpoint type, so an
    // endpoint of type ServerEndpoint that is not an entry is never read as one. Main thread only.
    ControllingServer* getPoolEntry(CommEndpoint* endpoint);

    std::list<ControllingServer*> getNotUpdatedServers();

    // Clears the update mark of every entry and every region.
    void resetIsUpdated();

    std::list<ControllingServer> serverList; // newest first

protected:
    // Empties the pool one entry at a time, for the same reason regions go one at a time.
    void removeAllServers();
};
