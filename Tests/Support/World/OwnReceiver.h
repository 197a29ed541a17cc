#pragma once

#include <memory>
#include <utility>

#include <boost/asio/ip/udp.hpp>

#include "Common/Network/Network.h"

// A packet receiver of the test's own, receiving on `socket`: a receiver takes the game port's
// UDP socket from the networking singleton as it is made, so `socket` stands in for it
// meanwhile. Main thread only, while no other thread reads the singleton's socket.
template <class Receiver, class... Args>
std::unique_ptr<Receiver> receiverOn(boost::asio::ip::udp::socket& socket, Args&&... args) {
    Network* net = Network::getInstance();
    boost::asio::ip::udp::socket* saved = net->udp_socket;
    net->udp_socket = &socket;
    std::unique_ptr<Receiver> receiver(new Receiver(std::forward<Args>(args)...));
    net->udp_socket = saved;
    return receiver;
}
