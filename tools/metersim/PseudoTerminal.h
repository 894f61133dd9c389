// The simulator's end of the line: a pseudo-terminal pair whose slave device is reached through a
// symbolic link of the caller's choosing.
//
// The simulator keeps the slave open itself (and never reads it), so that a client closing and
// reopening the device does not leave the master hung up; closing the master (Close) is what
// hangs the client up, as an unplugged adapter does.
#pragma once

#include <string>

namespace metersim {

class PseudoTerminal {
public:
    explicit PseudoTerminal(std::string linkPath) : link_(std::move(linkPath)) {}
    ~PseudoTerminal() { Close(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair in raw mode and points the link at the slave, replacing an earlier link.
    // Refuses (std::runtime_error) to replace anything at the link path that is not a symbolic
    // link; throws std::system_error when a system call fails.
    void Open();

    // Closes both sides and removes the link, if it still points at this pair's slave.
    void Close();

    bool IsOpen() const { return master_ >= 0; }
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slave_; }
    const std::string& LinkPath() const { return link_; }
    // The speed the client last set on the line (9600, 19200, ...); 0 when unknown.
    unsigned SlaveBaud() const;

private:
    void Link();

    std::string link_;
    std::string slave_;
    int master_ = -1;
    int slaveHold_ = -1;
};

} // namespace metersim
