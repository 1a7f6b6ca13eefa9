// One run of a machine: boot from its file, start the cards, connect the wires that go to the
// outside, bridge the exposed COM ports, report, and shut everything down again, checking that
// nothing is left behind.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/zelsim/bridge.h"
#include "tools/zelsim/console.h"
#include "tools/zelsim/endpoint.h"
#include "tools/zelsim/links.h"
#include "tools/zelsim/machine_file.h"

namespace zelsim {

struct SessionOptions {
    std::string machineFile;              // "" for the built-in default
    std::string registryOut;              // written after start-up when not empty
    std::string linkDir;                  // stable links to the terminals when not empty
    std::map<std::string, Frame> frames;  // "COM3:" -> frame, over the machine file's "Frame"
    bool outside = true;  // connect "Endpoint" wires and bridge exposed ports (not for demo)
};

class Session {
  public:
    explicit Session(Console& console) : console_(console) {}
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Loads and starts the machine. False when zelsim cannot go on (a bad machine file, a
    // link directory in use); a card that does not start is reported and the rest go on.
    bool Boot(const SessionOptions& options, std::string* error);
    // Whether every card and port device started.
    bool AllStarted() const { return allStarted_; }

    sim::Machine& Machine() { return *loaded_.machine; }
    // The status view's lines.
    std::vector<std::string> StatusLines();

    // Stops the bridges and wires and shuts the machine down. True when nothing was left
    // behind; otherwise *report says what was.
    bool Shutdown(std::string* report);

  private:
    bool ConnectEndpoints(std::string* error);
    void StartBridges(const SessionOptions& options);
    std::string PortLine(const sim::MachineCard& card, const sim::MachinePort& port);

    Console& console_;
    LoadedMachine loaded_;
    LinkDir links_;
    bool linking_ = false;
    bool allStarted_ = false;
    bool shutDown_ = false;
    std::vector<std::unique_ptr<ComBridge>> bridges_;
    std::vector<std::shared_ptr<StreamLine>> lines_;
    std::map<std::string, ComBridge*> bridgeOf_;  // "Card1\Port2" -> bridge
    std::map<std::string, StreamLine*> lineOf_;   // "Card1\Port4" -> wire endpoint

    // Interrupt rates for the view.
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastView_;
    std::map<std::string, uint64_t> lastSignalled_;
    std::map<std::string, double> rate_;
};

}  // namespace zelsim
