// i2cBus.cpp - byte-level transfers between a master and the addressed device.
#include "host/board/i2cBus.h"

namespace host {

void I2cBus::attach(uint8_t addr7, I2cDevice* dev)
{
    devices_[addr7 & 0x7F] = dev;
    dev->setBus(this);
}

bool I2cBus::acquire(const void* master)
{
    if (owner_ == master) return true;
    if (busy()) return false;
    owner_ = master;
    return true;
}

bool I2cBus::address(uint8_t addrByte)
{
    ++addressCycles_;
    for (auto& [a, d] : devices_) d->busStart();
    selected_ = nullptr;
    uint8_t a7 = addrByte >> 1;
    auto it = devices_.find(a7);
    if (it == devices_.end() || silent_.count(a7)) return false;
    bool read = addrByte & 1;
    if (!it->second->addressed(read)) return false;
    selected_ = it->second;
    selectedRead_ = read;
    if (read) driven_ = selected_->transmit();
    return true;
}

bool I2cBus::write(uint8_t byte)
{
    if (!selected_ || selectedRead_) return false;
    return selected_->receive(byte);
}

uint8_t I2cBus::read(bool ack)
{
    if (!selected_ || !selectedRead_) return 0xFF; // nobody drives the data line
    uint8_t b = driven_;
    if (ack)
        driven_ = selected_->transmit();
    else
        selected_ = nullptr; // not acknowledged: the device lets go of the bus
    return b;
}

void I2cBus::release()
{
    owner_ = nullptr;
    if (selected_ && selectedRead_ && !(driven_ & 0x80)) {
        // The device drives a 0 bit: the data line cannot rise, no stop.
        heldLow_ = true;
        return;
    }
    selected_ = nullptr;
    for (auto& [a, d] : devices_) d->busStop();
}

void I2cBus::setNotAcknowledging(uint8_t addr7, bool on)
{
    if (on)
        silent_.insert(addr7 & 0x7F);
    else
        silent_.erase(addr7 & 0x7F);
}

void I2cBus::clearFaults()
{
    silent_.clear();
    heldBusy_ = false;
}

void I2cBus::powerOn()
{
    owner_ = nullptr;
    selected_ = nullptr;
    heldLow_ = false;
    clearFaults();
}

} // namespace host
