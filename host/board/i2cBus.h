// i2cBus.h - the board's I2C wires: the devices on them, the master that owns
// them between a start and a stop, and the faults a test can inject.
//
// The controller models drive the bus at the byte level: an address byte after
// a start or repeated start, data bytes out and in with their acknowledges, a
// stop. The controllers give each byte its time; the wires only carry it.
// Every address byte on the wires is counted (a measure of bus traffic).
//
// A device addressed for reading drives its first byte at once, and every
// byte the master acknowledges makes it drive the next one. A stop while it
// drives a byte whose first bit is 0 cannot be made: the device holds the
// data line low, no stop is seen and the bus stays busy until power-on.
#pragma once

#include <cstdint>
#include <map>
#include <set>

namespace host {

class I2cBus;

// A device on the wires, selected by its 7-bit address.
class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // A start or repeated start on the bus, before its address byte (every
    // device sees it, addressed or not).
    virtual void busStart() {}
    // Its own address followed the start; true = acknowledge.
    virtual bool addressed(bool read) = 0;
    // A byte from the master; true = acknowledge.
    virtual bool receive(uint8_t byte) = 0;
    // The next byte the device drives for the master to clock in.
    virtual uint8_t transmit() = 0;
    // A stop condition on the bus (every device sees it).
    virtual void busStop() {}

    void setBus(const I2cBus* bus) { bus_ = bus; }

protected:
    const I2cBus* bus_ = nullptr;
};

class I2cBus {
public:
    void attach(uint8_t addr7, I2cDevice* dev);

    // Another master holds the bus (fault), a device holds the data line
    // low, or one of ours owns it.
    bool busy() const { return heldBusy_ || heldLow_ || owner_ != nullptr; }
    // Takes the bus for master; false when it is busy with another transfer.
    bool acquire(const void* master);
    bool ownedBy(const void* master) const { return owner_ == master; }
    // Start (or repeated start) and the address byte; true = acknowledged.
    bool address(uint8_t addrByte);
    // A data byte to the addressed device; true = acknowledged.
    bool write(uint8_t byte);
    // A data byte from the addressed device, then the master's acknowledge
    // (false = no acknowledge: the device lets go of the bus).
    uint8_t read(bool ack);
    // Stop condition; the bus is free again (unless a device holds it).
    void release();
    // A device holds the data line low after a failed stop.
    bool dataHeldLow() const { return heldLow_; }

    uint64_t addressCycles() const { return addressCycles_; }

    // Fault injection: a device that no longer acknowledges anything, and a
    // bus held busy by a master that never lets go.
    void setNotAcknowledging(uint8_t addr7, bool on);
    void setHeldBusy(bool on) { heldBusy_ = on; }
    void clearFaults();
    // Power-on: nobody owns the bus, no faults, no device drives the bus.
    void powerOn();

private:
    std::map<uint8_t, I2cDevice*> devices_;
    std::set<uint8_t> silent_;
    bool heldBusy_ = false;
    bool heldLow_ = false;
    const void* owner_ = nullptr;
    I2cDevice* selected_ = nullptr;
    bool selectedRead_ = false;
    uint8_t driven_ = 0xFF; // the byte the selected device drives in read mode
    uint64_t addressCycles_ = 0;
};

} // namespace host
