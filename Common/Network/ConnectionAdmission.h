#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include <boost/asio/ip/tcp.hpp>

#include "Common/Network/Limits.h"

// Which connections accepted on the game port may stay open: those that must still log in are
// closed after the login wait, and short of descriptors some give way. The dispatcher owns it
// and tells it of each accept, message, login and close. Holds no socket: closing one goes
// through Network::closeConnection and ends with its ClosedConnection event. Main thread only.
class ConnectionAdmission {
public:
    // A connection that nothing holds yet: since when it waits and from which address.
    struct ConnectionWithoutLogin {
        boost::asio::ip::tcp::socket* socket; // not owned
        uint64_t waitingSince;
        std::string host;
    };

    ConnectionAdmission() = default;
    ConnectionAdmission(const ConnectionAdmission&) = delete;
    ConnectionAdmission& operator=(const ConnectionAdmission&) = delete;

    // Puts an accepted connection among those that must log in in time, from now. Gives the
    // error of reading its peer's address ("?" is kept as its host then).
    boost::system::error_code awaitLogin(boost::asio::ip::tcp::socket* socket);
    // An accepted connection brought something now (a message of its own, or a datagram of the
    // endpoint that holds it); null or a connection not accepted here is ignored.
    void heardFrom(boost::asio::ip::tcp::socket* socket);
    // The connection belongs to a player, a watcher or a server now: it no longer waits for a
    // login, and gives way only by its silence.
    void loggedIn(boost::asio::ip::tcp::socket* socket);
    // The connection's ClosedConnection event: it is forgotten.
    void closed(boost::asio::ip::tcp::socket* socket);

    // A connection accepted on the game port must log in (as a player, a watcher or a server)
    // within LOGIN_TIMEOUT_MS (Common/Network/Limits.h): connections that never log in would
    // otherwise hold descriptors and memory for as long as a peer likes. One left by a logout
    // as a watcher counts as logged in: its client's next login on it may come at any time.
    // Short of descriptors, one without login gives way once it has waited LOGIN_ROOM_MS (one
    // accepted a moment ago has not had the time to log in).
    //
    // Once a frame: closes the accepted connections that have not logged in in time, and
    // `giveWay` more at once (one per accept that failed for want of file descriptors since the
    // last frame), never more: first the oldest of those without login that have waited
    // LOGIN_ROOM_MS, then the logged-in accepted connections that have been silent longest
    // (watchers, connections left by a logout and servers the map does not name before players;
    // servers the map names and the connections this server opened never give way). Each ends
    // with its ClosedConnection event.
    void closeConnectionsWithoutLogin(size_t giveWay);

    // The accepted connections that have not logged in yet, oldest first. A connection leaves
    // with its login or its close; one a logout later leaves as a watcher is not listed again (it
    // counts as logged in).
    const std::list<ConnectionWithoutLogin>& connectionsWithoutLogin() const { return connectionsWithoutLogin_; }

private:
    void forgetConnectionWithoutLogin(boost::asio::ip::tcp::socket* socket);
    // Closes at most `count` of the logged-in accepted connections, those silent longest (see
    // closeConnectionsWithoutLogin).
    void giveWayToLogins(size_t count);

    std::list<ConnectionWithoutLogin> connectionsWithoutLogin_;
    std::unordered_map<boost::asio::ip::tcp::socket*, std::list<ConnectionWithoutLogin>::iterator>
        connectionsWithoutLoginIndex_;

    // Every connection accepted on the game port until it is closed: its peer's address and
    // when it last brought anything (Timer::getMonotonicTime).
    struct AcceptedConnection {
        uint64_t lastHeard;
        std::string host;
    };
    std::unordered_map<boost::asio::ip::tcp::socket*, AcceptedConnection> acceptedConnections_;
};
