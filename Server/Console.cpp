#include "Server/Console.h"

#include <iostream>

#include "Common/Debug/ResourceMonitor.h"
#include "Common/GameObjects/Player.h"
#include "Common/Gamelogic/General.h"
#include "Common/Network/Network.h"
#include "Common/Network/WatcherManager.h"
#include "Common/Scene/SceneGraph.h"

boost::mutex& mutex = *new boost::mutex();
std::stack<std::string>& buf = *new std::stack<std::string>();

void push(std::string line) {
    boost::mutex::scoped_lock lock(mutex);
    buf.push(std::move(line));
}

bool pop(std::string& out) {
    boost::mutex::scoped_lock lock(mutex);
    if (buf.empty())
        return false;
    out = buf.top();
    buf.pop();
    return true;
}

void readConsoleLines(std::istream& in) {
    std::string line;
    // A last line without its line end still counts; once the stream has ended or failed
    // getline fails and the loop stops, so no empty line is ever made up.
    while (std::getline(in, line))
        push(line);
}

void InputServer::operator()() const {
    readConsoleLines(std::cin);
}

namespace {

bool is(const std::string& command, const char* name, const char* alias) {
    return command == name || command == alias;
}

} // namespace

void runConsoleCommand(const std::string& command, TransformList* players, TransformList* projectiles,
                       bool& shouldFakeCPUUsage) {
    if (is(command, "players", "pl")) {
        std::cout << SceneGraph::getInstance()->numberOfPlayers() << std::endl;
    } else if (is(command, "watchers", "wt")) {
        WatcherManager* watchers = Network::getInstance()->watcherManager;
        std::cout << (watchers ? watchers->watchers.size() : 0) << std::endl;
    } else if (is(command, "shots", "sh")) {
        std::cout << (projectiles ? projectiles->size() : 0) << std::endl;
    } else if (is(command, "score", "sc")) {
        General* general = General::getInstance();
        std::cout << general->redTeamScore << " - " << general->blueTeamScore << std::endl;
    } else if (is(command, "highcpu", "hcpu")) {
        ResourceMonitor::getInstance()->SetCPUusageCache(99);
    } else if (is(command, "averagecpu", "acpu")) {
        ResourceMonitor::getInstance()->SetCPUusageCache(50);
    } else if (is(command, "lowcpu", "lcpu")) {
        ResourceMonitor::getInstance()->SetCPUusageCache(0);
    } else if (is(command, "toggleFakeCPU", "tfc")) {
        shouldFakeCPUUsage = !shouldFakeCPUUsage;
    } else if (is(command, "reset all", "ra")) {
        if (players)
            for (Transform* t : *players)
                static_cast<Player*>(t)->respawn();
    } else {
        std::cout << "unknown command" << std::endl;
    }
}

void runConsoleCommands(TransformList* players, TransformList* projectiles, bool& shouldFakeCPUUsage) {
    std::string command;
    while (pop(command))
        runConsoleCommand(command, players, projectiles, shouldFakeCPUUsage);
}

void fakeCPUUsage() {
    const unsigned int n = SceneGraph::getInstance()->numberOfPlayers();
    ResourceMonitor::getInstance()->SetCPUusageCache(static_cast<short>(n * 20));
}
