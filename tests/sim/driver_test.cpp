#include "sim_test_support.h"

#include <gtest/gtest.h>

namespace flashwell::sim {
namespace {

using namespace testing;
using platform::DWORD;
using platform::HANDLE;

struct DriverTest : ::testing::Test {
    SimWorld world;
    Board* board = nullptr;
    HANDLE h = 0;
    platform::OsPort& os = world.Os();

    void SetUp() override { Plug({}); }
    void Plug(BoardConfig config) {
        board = &world.AddBoard(std::move(config));
        h = Open(os, board->DevicePath());
        ASSERT_NE(h, platform::kInvalidHandleValue);
    }
    // Sends a request; returns the error (0 on success) and the answer bytes.
    DWORD Call(DWORD code, std::vector<std::uint8_t> in, std::vector<std::uint8_t>& out) {
        DWORD n = 0;
        const bool ok = os.DeviceIoControl(
            h, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
            out.empty() ? nullptr : out.data(), static_cast<DWORD>(out.size()), &n);
        out.resize(n);
        return ok ? 0 : os.GetLastError();
    }
};

TEST_F(DriverTest, VersionQueries) {
    board->MutableConfig().driverVersion = {6, 2, 0x0111};
    std::vector<std::uint8_t> out(6);
    EXPECT_EQ(Call(kIoctlDriverVersion, {}, out), 0u);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{6, 0, 2, 0, 0x11, 0x01}));

    out.assign(5, 0);
    EXPECT_EQ(Call(kIoctlDriverVersion, {}, out), platform::kErrorInvalidParameter);

    out.assign(4, 0);
    EXPECT_EQ(Call(kIoctlInterfaceVersion, {}, out), 0u);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x03, 0x00, 0x04, 0x00}));
    board->MutableConfig().interfaceVersion.reset();
    out.assign(4, 0);
    EXPECT_EQ(Call(kIoctlInterfaceVersion, {}, out), platform::kErrorInvalidFunction);

    out.assign(4, 0);
    EXPECT_EQ(Call(0x222999, {}, out), platform::kErrorInvalidFunction);
}

TEST_F(DriverTest, BoardInformationSelectors) {
    board->MutableConfig().boardInfo = 0x01020304;
    std::vector<std::uint8_t> out(4);
    EXPECT_EQ(Call(kIoctlBoardInfo, Le32Bytes(1), out), 0u);
    EXPECT_EQ(out, Le32Bytes(0x01020304));

    out = Le32Bytes(0x55000000);
    EXPECT_EQ(Call(kIoctlBoardInfo, Le32Bytes(3), out), platform::kErrorInvalidParameter);
    board->MutableConfig().boardNumber = 2;
    out.assign(4, 0);
    EXPECT_EQ(Call(kIoctlBoardInfo, Le32Bytes(3), out), 0u);
    EXPECT_EQ(out, Le32Bytes(2));

    out.assign(4, 0);
    EXPECT_EQ(Call(kIoctlBoardInfo, {1, 0}, out), platform::kErrorInvalidParameter);
    out.assign(4, 0);
    EXPECT_EQ(Call(kIoctlBoardInfo, Le32Bytes(7), out), platform::kErrorInvalidParameter);
}

TEST_F(DriverTest, PipeDirectionsAndShortReads) {
    std::vector<std::uint8_t> out{0xFF};
    EXPECT_EQ(Call(kIoctlPipeWrite, Le32Bytes(1), out), platform::kErrorInvalidParameter);
    out = {0xFF};
    EXPECT_EQ(Call(kIoctlPipeWrite, Le32Bytes(0), out), 0u);
    EXPECT_EQ(out.size(), 1u); // bytes returned: the bytes written

    out.assign(8, 0xEE);
    EXPECT_EQ(Call(kIoctlPipeRead, Le32Bytes(0), out), platform::kErrorInvalidParameter);
    out.assign(8, 0xEE);
    EXPECT_EQ(Call(kIoctlPipeRead, Le32Bytes(1), out), 0u);
    EXPECT_EQ(out, std::vector<std::uint8_t>{0x00}); // full speed, one byte queued
    out.assign(8, 0xEE);
    EXPECT_EQ(Call(kIoctlPipeRead, Le32Bytes(1), out), 0u);
    EXPECT_TRUE(out.empty());
}

TEST_F(DriverTest, DirectHostRequestsNeedNewInterface) {
    std::vector<std::uint8_t> none;
    std::vector<std::uint8_t> reg = Le32Bytes(1);
    const auto value = Le32Bytes(0x85);
    reg.insert(reg.end(), value.begin(), value.end());
    EXPECT_EQ(Call(kIoctlHostRegister, reg, none), platform::kErrorInvalidFunction);
    EXPECT_EQ(Call(kIoctlHostCommand, Le32Bytes(5), none), platform::kErrorInvalidFunction);

    board->MutableConfig().interfaceVersion = 0x40004;
    EXPECT_EQ(Call(kIoctlHostRegister, reg, none), 0u);
    EXPECT_EQ(Call(kIoctlHostCommand, Le32Bytes(0x45), none), 0u);
    EXPECT_EQ(Call(kIoctlHostCommand, {5, 0}, none), platform::kErrorInvalidParameter);
    EXPECT_EQ(board->Dsp().HostCommands(), (std::vector<std::uint8_t>{5, 0x45}));
}

TEST_F(DriverTest, BootStateControllerSwallowsPipesAndTakesDownloads) {
    BoardConfig boot;
    boot.kind = DeviceKind::EzUsbBoot8613;
    Plug(boot);
    std::vector<std::uint8_t> out{0x10};
    EXPECT_EQ(Call(kIoctlPipeWrite, Le32Bytes(0), out), 0u);
    out.assign(3, 0);
    EXPECT_EQ(Call(kIoctlPipeRead, Le32Bytes(1), out), 0u);
    EXPECT_TRUE(out.empty());

    // Hold the CPU, load three bytes at 0x1234, release it.
    std::vector<std::uint8_t> hold{0xA0, 0, 0x00, 0xE6, 0, 0, 1, 0, 0, 1};
    std::vector<std::uint8_t> none;
    EXPECT_EQ(Call(kIoctlVendorRequest, hold, none), 0u);
    EXPECT_TRUE(board->CpuHeldInReset());
    std::vector<std::uint8_t> code{0x02, 0x00, 0x80};
    EXPECT_EQ(Call(kIoctlLoadMemory, {0x34, 0x12}, code), 0u);
    EXPECT_EQ(code.size(), 3u);
    EXPECT_EQ(board->ControllerRam()[0x1234], 0x02);
    EXPECT_EQ(board->ControllerRam()[0x1236], 0x80);
    hold[9] = 0;
    EXPECT_EQ(Call(kIoctlVendorRequest, hold, none), 0u);
    EXPECT_FALSE(board->CpuHeldInReset());
    ASSERT_EQ(board->VendorRequests().size(), 2u);
    EXPECT_EQ(board->VendorRequests()[0].value, 0xE600);
    EXPECT_EQ(Call(kIoctlVendorRequest, {0xA0, 0}, none), platform::kErrorInvalidParameter);
}

// The CPU control request is a one-byte write to 0xE600 with request 0xA0; every field of the
// record is looked at, and a request that differs in any of them changes nothing.
TEST_F(DriverTest, VendorRequestFieldsAreAllChecked) {
    const std::vector<std::uint8_t> hold{0xA0, 0, 0x00, 0xE6, 0, 0, 1, 0, 0, 1};
    std::vector<std::uint8_t> none;
    struct Variant {
        std::size_t at;
        std::uint8_t value;
    };
    for (const Variant v :
         {Variant{0, 0xA3}, Variant{2, 0x01}, Variant{3, 0xE5}, Variant{4, 1}, Variant{5, 1},
          Variant{6, 2}, Variant{6, 0}, Variant{7, 1}, Variant{8, 1}, Variant{9, 3}}) {
        SCOPED_TRACE(::testing::Message() << "byte " << v.at << " = " << int{v.value});
        std::vector<std::uint8_t> request = hold;
        request[v.at] = v.value;
        EXPECT_EQ(Call(kIoctlVendorRequest, request, none), platform::kErrorGenFailure);
        EXPECT_FALSE(board->CpuHeldInReset());
    }
    // Byte 1 has no meaning.
    std::vector<std::uint8_t> request = hold;
    request[1] = 0x5A;
    EXPECT_EQ(Call(kIoctlVendorRequest, request, none), 0u);
    EXPECT_TRUE(board->CpuHeldInReset());
}

TEST_F(DriverTest, FaultAfterNCallsPersistsOrFiresOnce) {
    std::vector<std::uint8_t> out(6);
    board->AddFault({kIoctlDriverVersion, 2, platform::kErrorBusy, true});
    board->AddFault({kIoctlInterfaceVersion, 1, platform::kErrorDeviceNotConnected, false});
    std::vector<DWORD> versionErrors, interfaceErrors;
    for (int i = 0; i < 4; ++i) {
        out.assign(6, 0);
        versionErrors.push_back(Call(kIoctlDriverVersion, {}, out));
        out.assign(4, 0);
        interfaceErrors.push_back(Call(kIoctlInterfaceVersion, {}, out));
    }
    EXPECT_EQ(versionErrors, (std::vector<DWORD>{0, 0, platform::kErrorBusy, 0}));
    EXPECT_EQ(interfaceErrors, (std::vector<DWORD>{0, 1167, 1167, 1167}));
    EXPECT_EQ(board->RequestCount(kIoctlDriverVersion), 4u);

    // A fault armed later counts from its arming; kAnyCode counts every request.
    board->ClearFaults();
    board->AddFault({FaultRule::kAnyCode, 1, platform::kErrorInvalidParameter, true});
    out.assign(4, 0);
    EXPECT_EQ(Call(kIoctlInterfaceVersion, {}, out), 0u);
    out.assign(6, 0);
    EXPECT_EQ(Call(kIoctlDriverVersion, {}, out), platform::kErrorInvalidParameter);
    out.assign(6, 0);
    EXPECT_EQ(Call(kIoctlDriverVersion, {}, out), 0u);
}

TEST_F(DriverTest, BadHandlesAndMissingBuffers) {
    DWORD n = 7;
    std::uint8_t buf[6];
    EXPECT_FALSE(os.DeviceIoControl(0x12345, kIoctlDriverVersion, nullptr, 0, buf, 6, &n));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidHandle);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(os.DeviceIoControl(h, kIoctlDriverVersion, nullptr, 0, nullptr, 6, &n));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidParameter);
    EXPECT_FALSE(os.DeviceIoControl(h, kIoctlDriverVersion, nullptr, 0, buf, 6, nullptr));
    // A failed request with 87 leaves the handle usable.
    EXPECT_TRUE(os.DeviceIoControl(h, kIoctlDriverVersion, nullptr, 0, buf, 6, &n));
    EXPECT_EQ(os.GetLastError(), 0u);
}

TEST_F(DriverTest, RecorderKeepsBytesInBothDirections) {
    const std::size_t mark = world.Recorder().Mark();
    ASSERT_TRUE(WritePipe(os, h, {0x10}));
    EXPECT_EQ(ReadPipe(os, h, 3), (std::vector<std::uint8_t>{5, 8, 1}));
    std::vector<std::uint8_t> out(6);
    board->AddFault({kIoctlDriverVersion, 0, platform::kErrorGenFailure, false});
    EXPECT_EQ(Call(kIoctlDriverVersion, {}, out), platform::kErrorGenFailure);

    const TrafficRecorder& rec = world.Recorder();
    EXPECT_EQ(rec.PipeWrites(0, mark), (std::vector<Bytes>{{0x10}}));
    EXPECT_EQ(rec.PipeReads(1, mark), (std::vector<Bytes>{{5, 8, 1}}));
    const auto writes = rec.Requests(kIoctlPipeWrite, mark);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].input, Le32Bytes(0));
    EXPECT_EQ(writes[0].Pipe(), 0u);
    EXPECT_EQ(writes[0].board, 0);
    EXPECT_EQ(writes[0].handle, h);
    EXPECT_EQ(writes[0].name, board->DevicePath());
    const auto reads = rec.Requests(kIoctlPipeRead, mark);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].bytesReturned, 3u);
    const auto failed = rec.Requests(kIoctlDriverVersion, mark);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_FALSE(failed[0].ok);
    EXPECT_EQ(failed[0].error, platform::kErrorGenFailure);
    EXPECT_TRUE(failed[0].output.empty());
    EXPECT_EQ(rec.CountRequests(kIoctlPipeWrite), 1u);
    EXPECT_NE(rec.Dump(mark).find("0x222051 in[00 00 00 00] out[10]"), std::string::npos);
}

} // namespace
} // namespace flashwell::sim
