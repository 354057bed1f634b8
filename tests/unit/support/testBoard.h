// testBoard.h - the unit-test board: a temporary board directory, the
// platform in virtual time with a scripted console peer, the volume mounted
// and the current directory "/DskVol/files", as after the boot's start-up.
#pragma once

#include "host/os/console/console.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

// Thrown when the board waits for console input the test never gives it.
struct PeerExhausted {};

class TestBoard : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string hostPath(const std::string& name) const; // a file in /DskVol/files
    void writeHostFile(const std::string& name, const std::string& bytes) const;
    std::string readHostFile(const std::string& name) const;
    bool hostFileExists(const std::string& name) const;
    // Fills the volume's free clusters but `leaveClusters` with the file "filler".
    void fillDisk(uint64_t leaveClusters = 0);
    host::ScriptedPeer& peer() { return peer_; }
    // Formats the flash disk as the first start-up of a new board does (so a
    // later bootMain keeps the files) and enters "/DskVol/files" again.
    void formatFlashDisk();
    // A new run of the board over the same directory, module state as after
    // power-on (a reset or a cut may have left any of it), in "/DskVol/files".
    void powerOn();
    // The board directory's files by path below it: small ones by content, the rest by size and time.
    using Files = std::map<std::string, std::string>;
    Files boardFiles() const;
    // "PATH appeared", "vanished" or "changed" lines for what differs between two snapshots, but
    // the files the board rewrites on its own (logs, clock, directory order) and, by file name,
    // those mayChange accepts.
    static std::string filesChanged(const Files& before, const Files& after,
                                    const std::function<bool(const std::string& name)>& mayChange);
    // Everything the board printed since the last call (stdout flushed).
    std::string takeOutput();
    // The same with the console's CR LF line ends read as plain new-lines.
    std::string takeText();
    // Whether the console has shown the text (its new-lines go out as CR LF)
    // since the last takeOutput.
    bool saw(const std::string& text);

    std::string boardDir;

private:
    host::ScriptedPeer peer_;
    int idleWithoutInput_ = 0;
};
