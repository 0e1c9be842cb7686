// A simulated machine with the tool's board table on top of it.
#pragma once

#include "device/adapter_usb.h"
#include "sim/sim_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace flashwell::testing {

using platform::DWORD;
using sim::EventKind;

struct DeviceWorld {
    explicit DeviceWorld(sim::WorldOptions options = {}) : world(std::move(options)) {}

    sim::SimWorld world;
    device::BoardTable boards{world.Os()};

    sim::TrafficRecorder& rec() { return world.Recorder(); }
    std::size_t Count(EventKind kind, std::size_t from = 0) {
        return world.Recorder().OfKind(kind, from).size();
    }
    std::vector<std::string> Opened(std::size_t from = 0) {
        std::vector<std::string> names;
        for (const auto& e : world.Recorder().OfKind(EventKind::CreateFile, from))
            names.push_back(e.name);
        return names;
    }
};

inline sim::BoardConfig WithPath(std::string path) {
    sim::BoardConfig c;
    c.devicePathOverride = std::move(path);
    return c;
}

inline sim::BoardConfig OfKind(sim::DeviceKind kind) {
    sim::BoardConfig c;
    c.kind = kind;
    return c;
}

} // namespace flashwell::testing
