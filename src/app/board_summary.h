// What a board holds and what an update would do to it, told without writing anything: the
// board is opened, asked for its SubID and its parameter block (both only read), and closed.
#pragma once

#include "app/main_form.h"

#include <string>
#include <vector>

namespace flashwell::app {

struct BoardSummary {
    int index = 0;
    bool present = false;
    bool selectable = false;
    std::string line; // the board line's caption
    bool blockReadable = false;
    std::string product, customer, serial, hardwareRevision, date;
    std::int32_t subId = 0;
    bool subIdKnown = false;
    bool counter32 = false;
    std::string firmwareVersion, driverVersion, interfaceVersion;
    bool highSpeed = false;
    std::vector<std::string> plan; // one sentence per step the update would take
    // The scan found the block not whole (an unfinished write): nothing is written over it.
    bool blockLost = false;
    std::string copyToRestore; // the copy the scan names, if any
    std::string lostWhy;       // what the scan found wrong with a block that is not whole
    // Why the scan does not accept the board for an update, and what to do; empty if it does.
    std::string notSelectableBecause;
    // The controller runs no firmware: an update writes it first.
    bool repairsFirmwareFirst = false;
    // Where the board is plugged in (its device path), and how it is reached (the caller's
    // words: the route is not the application's business).
    std::string place, route;
    std::string devicePath; // the whole path, beside the place
};

// Every board line after the scan (FormCreate), in order 0 to 3.
std::vector<BoardSummary> SummarizeBoards(TForm1& form, device::BoardTable& boards,
                                          protocol::BoardProtocol& protocol);

std::string SummaryText(const std::vector<BoardSummary>& boards);
std::string SummaryJson(const std::vector<BoardSummary>& boards);

} // namespace flashwell::app
