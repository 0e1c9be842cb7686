#include "sim/sim_world.h"

namespace flashwell::sim {

SimWorld::SimWorld(WorldOptions options)
    : clock_(options.clock), windows_(clock_, recorder_, std::move(options.windows)) {
    windows_.SetPoller([this] { Poll(); });
}

namespace {

std::vector<std::unique_ptr<Board>> CopyBoards(const std::vector<std::unique_ptr<Board>>& boards,
                                               BoardBus* bus) {
    std::vector<std::unique_ptr<Board>> copies;
    copies.reserve(boards.size());
    for (const auto& board : boards)
        copies.push_back(std::make_unique<Board>(*board, bus));
    return copies;
}

} // namespace

SimWorld::SimWorld(const SimWorld& other)
    : BoardBus(), clock_(other.clock_), recorder_(other.recorder_),
      boards_(CopyBoards(other.boards_, this)),
      windows_(other.windows_, clock_, recorder_,
               [this](const Board& board) -> Board& { return GetBoard(board.Id()); }) {
    windows_.SetPoller([this] { Poll(); });
}

SimWorld& SimWorld::operator=(const SimWorld& other) {
    if (this == &other) return *this;
    clock_ = other.clock_;
    recorder_ = other.recorder_;
    if (boards_.size() == other.boards_.size()) {
        for (std::size_t i = 0; i < boards_.size(); ++i)
            *boards_[i] = *other.boards_[i];
    } else {
        boards_ = CopyBoards(other.boards_, this);
    }
    windows_.Assign(other.windows_,
                    [this](const Board& board) -> Board& { return GetBoard(board.Id()); });
    return *this;
}

Board& SimWorld::AddBoard(BoardConfig config) {
    const int id = static_cast<int>(boards_.size());
    if (config.instanceId.empty()) config.instanceId = "6&2c24ce2e&0&" + std::to_string(id + 1);
    BoardBus* bus = this;
    boards_.push_back(std::make_unique<Board>(id, std::move(config), bus));
    windows_.Attach(*boards_.back());
    return *boards_.back();
}

void SimWorld::Vanish(Board& board, platform::DWORD error) {
    windows_.Detach(board, error);
}

void SimWorld::Reattach(Board& board) {
    windows_.Attach(board);
}

void SimWorld::Reconnect(Board& board) {
    if (board.ReenumerationPending()) {
        board.CompleteReenumeration();
        return;
    }
    Vanish(board);
    Reattach(board);
}

void SimWorld::Poll() {
    for (auto& board : boards_)
        board->Poll();
}

void SimWorld::Leave(Board& board, platform::DWORD error) {
    windows_.Detach(board, error);
}

void SimWorld::Arrive(Board& board) {
    windows_.Attach(board);
}

} // namespace flashwell::sim
