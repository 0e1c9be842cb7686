#include "boarddata/images/images.h"
#include "protocol_test_support.h"

#include <algorithm>
#include <cmath>

namespace flashwell::testing {
namespace {

using protocol::FailureWord;

// The write-block and erase requests (vector 104) in the order they were sent; an erase is a
// block with count 0 and no data, tagged by `erase`.
struct FlashRequest {
    bool erase = false;
    std::uint32_t address = 0;
    std::uint32_t count = 0;
    std::vector<std::uint32_t> data;
};

std::vector<FlashRequest> FlashRequests(const std::vector<Bytes>& writes) {
    std::vector<FlashRequest> out;
    for (const auto& r : OfVector(DecodeRequests(writes), 104)) {
        EXPECT_GE(r.words.size(), 2u);
        if (r.words.size() < 2) continue;
        FlashRequest f;
        f.erase = r.words[0] == 3;
        f.address = r.words[1];
        if (!f.erase && r.words.size() >= 3) {
            f.count = r.words[2];
            f.data.assign(r.words.begin() + 3, r.words.end());
        }
        out.push_back(std::move(f));
    }
    return out;
}

std::int32_t Nearest(double blocks, double k) {
    return static_cast<std::int32_t>(std::nearbyint(100.0 / blocks * k));
}

TEST(WriteRbfImage, ImageLandsInTheConfigurationAreaBlockByBlock) {
    FlashWorld w({}, 5);
    const auto rbf = images::RbfImageRev11View();
    ProgressLog progress;
    const std::size_t mark = w.Mark();
    EXPECT_TRUE(w.proto.WriteRbfImage(0, rbf.data(), static_cast<std::int32_t>(rbf.size()),
                                      progress.Callback()));

    const auto requests = FlashRequests(w.Writes(mark));
    ASSERT_EQ(requests.size(), 29u);
    std::vector<std::int32_t> positions{0};
    for (std::uint32_t k = 0; k < 29; ++k) {
        const auto& r = requests[k];
        EXPECT_FALSE(r.erase);
        EXPECT_EQ(r.address, 0x1E000 + 2048 * k);
        const std::uint32_t n = k < 28 ? 2048 : 1871;
        EXPECT_EQ(r.count, n);
        ASSERT_EQ(r.data.size(), n);
        EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), rbf.begin() + 2048 * k)) << k;
        positions.push_back(Nearest(29, k));
    }
    positions.push_back(0);
    EXPECT_EQ(progress.positions, positions);
    EXPECT_EQ(progress.positions[29], 97);
    EXPECT_EQ(sim::Inspect(w.board).fpga, sim::FpgaContent::Rev11);

    // A shorter image over a longer one: each block's range is erased by the board itself.
    const auto rev13 = images::RbfImageRev13View();
    EXPECT_TRUE(
        w.proto.WriteRbfImage(0, rev13.data(), static_cast<std::int32_t>(rev13.size()), nullptr));
    EXPECT_EQ(sim::Inspect(w.board).fpga, sim::FpgaContent::Rev13);
}

TEST(WriteRbfImage, FailedBlockIsNamedFromZero) {
    FlashWorld w;
    // The first data word packet of block 0 fails.
    w.board.AddFault({sim::kIoctlPipeWrite, 1, platform::kErrorBusy, true});
    const auto rbf = images::RbfImageRev12View();
    ProgressLog progress;
    EXPECT_FALSE(w.proto.WriteRbfImage(0, rbf.data(), static_cast<std::int32_t>(rbf.size()),
                                       progress.Callback()));
    ASSERT_EQ(w.ui.shown.size(), 1u);
    EXPECT_EQ(w.ui.shown[0].text, "Fehler beim Schreiben des 0. Blockes");
    EXPECT_EQ(w.ui.shown[0].buttons, platform::MessageButtons::Ok);
    EXPECT_EQ(progress.positions, (std::vector<std::int32_t>{0, 0}));
}

class KpciTest : public ::testing::Test {
protected:
    std::uint32_t Write(const std::vector<std::uint8_t>& data, int mode) {
        mark = w.Mark();
        return w.proto.WriteKpciImage(0, data.data(), static_cast<std::int32_t>(data.size() / 3),
                                      progress.Callback(), mode);
    }
    FlashWorld w{{}, 9};
    ProgressLog progress;
    std::size_t mark = 0;
};

TEST_F(KpciTest, FramedDataFillsTheSecondBank) {
    const std::vector<std::uint8_t> framed = sim::FramedKpciData();
    ASSERT_EQ(framed.size(), 86379u);
    ASSERT_EQ(w.proto.SelectFlashBank(0, 1), 0u);
    EXPECT_EQ(Write(framed, 0), 0u);
    ASSERT_EQ(w.proto.SelectFlashBank(0, 0), 0u);

    const auto requests = FlashRequests(w.Writes(mark));
    ASSERT_EQ(requests.size(), 46u);
    EXPECT_TRUE(requests[0].erase);
    EXPECT_EQ(requests[0].address, 0xD00000u);
    EXPECT_TRUE(requests[33].erase);
    EXPECT_EQ(requests[33].address, 0xD00000u);
    const std::uint32_t saved =
        std::uint32_t{framed[65533]} << 16 | framed[65534] << 8 | framed[65535];
    EXPECT_TRUE(requests[45].erase);
    EXPECT_EQ(requests[45].address, saved);
    std::uint32_t block = 0;
    for (const auto& r : requests) {
        if (r.erase) continue;
        const std::uint32_t n = block < 42 ? 2048 : 363;
        EXPECT_EQ(r.address, 2048 * block);
        EXPECT_EQ(r.count, n);
        ASSERT_EQ(r.data.size(), n);
        EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), framed.begin() + 2048 * block))
            << block;
        ++block;
    }
    EXPECT_EQ(block, 43u);
    ASSERT_EQ(progress.positions.size(), 45u);
    EXPECT_EQ(progress.positions[1], Nearest(43, 1));
    EXPECT_EQ(progress.positions[43], 100);
    EXPECT_EQ(progress.positions.back(), 0);
    EXPECT_EQ(w.ui.pumps, 43);

    const sim::BoardReport r = sim::Inspect(w.board);
    EXPECT_EQ(r.secondBank, sim::SecondBankContent::FramedKpci) << r.ToString();
    // Bank 1 was only reached between the two switches: bank 0 kept its old contents.
    EXPECT_EQ(r.fpga, sim::FpgaContent::Other);
}

TEST_F(KpciTest, WithoutTheBankSwitchTheSecondBankKeepsItsOldData) {
    EXPECT_EQ(Write(sim::FramedKpciData(), 0), FailureWord); // 0xD00000 is unknown in bank 0
    EXPECT_TRUE(FlashRequests(w.Writes(mark)).size() == 1);
    EXPECT_EQ(sim::Inspect(w.board).secondBank, sim::SecondBankContent::Other);
}

TEST_F(KpciTest, ShortDataEndsWithAnEraseAtTheSectorStart) {
    std::vector<std::uint8_t> data(3 * 6000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 13 + 7);
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(w.proto.SelectFlashBank(0, 1), 0u);
        EXPECT_EQ(Write(data, mode), 0u);
        const auto requests = FlashRequests(w.Writes(mark));
        ASSERT_EQ(requests.size(), 11u); // erase, 9 blocks, erase
        EXPECT_TRUE(requests.front().erase);
        EXPECT_TRUE(requests.back().erase);
        EXPECT_EQ(requests.back().address, 0xD00000u);
        EXPECT_EQ(std::count_if(requests.begin(), requests.end(), [](auto& r) { return r.erase; }),
                  2);
        const auto bank = w.board.Flash().Range(1, 0, data.size());
        EXPECT_TRUE(std::equal(bank.begin(), bank.end(), data.begin()));
    }
}

TEST_F(KpciTest, FailedFirstEraseWritesNothing) {
    ASSERT_EQ(w.proto.SelectFlashBank(0, 1), 0u);
    w.board.Faults().failErases = {1};
    w.board.ResetFaultCounters();
    EXPECT_EQ(Write(sim::FramedKpciData(), 0), FailureWord);
    EXPECT_EQ(FlashRequests(w.Writes(mark)).size(), 1u);
    EXPECT_TRUE(w.ui.shown.empty());
    EXPECT_EQ(progress.positions, (std::vector<std::int32_t>{0, 0}));
}

} // namespace
} // namespace flashwell::testing
