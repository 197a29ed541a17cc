#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Common/Network/CommEndpoint.h"

class AbstractPacketReceiver;
class MessageDispatcher;
class MessageSender;
class SceneGraph;
class Sender;
class WatcherManager;

// Process-wide owner of the networking parts. Created on first use on the main thread
// during start-up, built once by init, never destroyed. The I/O thread only reads it.
class Network {
public:
    static Network* getInstance();

    // Builds the networking parts on `ios`: the UDP socket and the TCP acceptor on `port` (read
    // as 0..65535) on all IPv4 addresses, the send queues, the dispatcher, the receiver, the
    // watcher registry and the own qport. A port that cannot be bound throws the socket
    // library's error. Main thread, once, before the I/O thread runs.
    // `firstQport` is where the dispatcher's qport counter starts (the low 16 bits of the own
    // qport, the first one handed out); start-up draws it so that a server restarted under its
    // old id does not hand out again the qports of its previous life.
    void init(short port, boost::asio::io_context* ios, uint16_t firstQport = 1);

    // The parts of init that hold per-run state, on `ios`: the send queues, the watcher
    // registry, the dispatcher with its qport counter at `firstQport`, the own qport (the
    // registry's myself must be set) and the sender. init builds them; a harness that starts
    // each run afresh builds them again.
    void buildParts(uint16_t firstQport = 1);

    // Asks for a receive buffer of `bytes` for `socket` and gives the bytes the kernel granted;
    // when that is less and `report`, one line says so.
    static int setReceiveBuffer(boost::asio::ip::udp::socket& socket, int bytes, bool report = true);
    // The line that says the kernel granted the game port's UDP socket less than it asked for,
    // which init leaves out so that the first lines of a start stay what they are; nothing when
    // it granted all (or before init).
    void reportReceiveBuffer();

    // Opens a TCP connection for `ep` (which must hold no socket) to the first address that
    // `host`:`port` resolves to, blocking until it is made or refused, and starts reading from
    // it. Uses the Network's own service when `ios` is null. On any failure `ep` is left
    // without a socket and the result is false.
    // With `timeoutMs` above 0 the connect gives up after that long (a host that never answers
    // would otherwise hold the main thread for the operating system's connect time-out).
    bool connectTo(CommEndpoint* ep, std::string host, std::string port, boost::asio::io_context* ios = nullptr,
                   int timeoutMs = 0);

    // connectTo for the coordinator endpoint, with its diagnostic lines.
    bool connectToCoordinator(std::string host, std::string port, boost::asio::io_context* ios);

    // Main thread: ends a connection that has not failed by itself (through the receiver, so no
    // read starts on it meanwhile); its ClosedConnection event follows, as for one that failed.
    void closeConnection(boost::asio::ip::tcp::socket* socket);

    // Once per frame: every queued UDP event, then every queued TCP event, to the dispatcher;
    // then players whose client has not logged in within its grace are removed, connections
    // that have not logged in in time, those whose incomplete frame has had no new byte for
    // long and those whose socket has taken nothing for long while bytes wait are closed, and
    // the diagnostics of network input left out in a past second are reported. `scene` is not
    // used.
    void dispatchReceivedMessages(SceneGraph* scene);

    // Just before an endpoint object goes away or is reset: the dispatcher's waiting list and
    // both send queues forget it. Nothing before init.
    void wantToDeleteEndpoint(CommEndpoint* ep);

    // The server's one UDP socket, bound to the listening port; null until init.
    boost::asio::ip::udp::socket* udp_socket;
    // The receive buffer the kernel granted it; 0 until init.
    int udpReceiveBufferGranted;
    // Datagrams that the send queues started and that wait in the I/O service for room in the
    // socket; while there are any, every new one waits behind them, so datagrams leave in the
    // order they were started. Raised on the main thread, lowered on the I/O thread.
    std::atomic<unsigned int> udpDatagramsWaiting;
    // Its TCP socket is set by connectToCoordinator.
    CommEndpoint coordinator;
    // This server's own qport, put in front of its UDP packets for endpoints that are not
    // clients; all bits set until init, which takes the dispatcher's first qport.
    uint32_t myQport;
    // This server's id; 0 until start-up sets it. Every diagnostic line carries it.
    uint64_t ownId;
    // The listening port as decimal text; empty until init.
    std::string port;

    // Owned, null until init.
    Sender* networkSender;
    MessageSender* clientMessageSender; // clients, watchers and every broadcast
    MessageSender* serverMessageSender; // region servers and the coordinator
    AbstractPacketReceiver* packetReceiver;
    MessageDispatcher* messageDispatcher;
    WatcherManager* watcherManager;
    boost::asio::io_context* ios; // not owned

private:
    Network();
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;
};
