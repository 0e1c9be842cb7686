// The RAM download of the controller firmware on arbitrary text: the run detection on its own at
// an arbitrary position, and the whole download into a simulated board held in reset.
#include "byte_stream.h"
#include "device/adapter_usb.h"
#include "protocol/board_protocol.h"
#include "protocol/hex_text.h"
#include "sim/sim_world.h"
#include "testkit/fake_ui.h"
#include "testkit/virtual_time.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

using namespace flashwell;
namespace hex = protocol::hex;

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void CheckRunDetection(std::string_view text, std::size_t pos, std::size_t digits) {
    // Out-of-range positions and widths are part of the contract: they give 0, never a read.
    const std::uint32_t value = hex::ParseHexField(text, pos, digits);
    if (digits < 8 && value >> (4 * digits) != 0)
        Fail("ParseHexField: value wider than its digits");

    const hex::Run run = hex::FindRun(text, pos);
    if (run.length == 0) return;
    if (run.records == 0) Fail("FindRun: data without a record");
    // Every record of the run lies wholly inside the text.
    if (pos > text.size() ||
        hex::kEndRecordLength * run.records + 2 * run.length > text.size() - pos)
        Fail("FindRun: run reaches beyond the text");
    if (hex::FillRun(text, pos, run).size() != run.length)
        Fail("FillRun: byte count differs from the run's length");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteStream in({data, size});
    const std::size_t pos = in.Le16();
    const std::size_t digits = in.Byte() % 12;
    const auto rest = in.Rest();
    // An exactly sized heap copy: one character too far is an ASan report.
    const std::unique_ptr<char[]> buffer(new char[rest.size()]);
    for (std::size_t i = 0; i < rest.size(); ++i)
        buffer[i] = static_cast<char>(rest[i]);
    const std::string_view text(buffer.get(), rest.size());

    CheckRunDetection(text, pos, digits);
    CheckRunDetection(text, pos % (text.size() + 1), digits);

    sim::SimWorld world(testing::VirtualTime());
    world.Recorder().SetEnabled(false);
    world.AddBoard({});
    device::BoardTable boards(world.Os());
    testing::FakeUi ui;
    protocol::BoardProtocol proto(boards, ui);
    if (boards.OpenBoard(0) != 1) Fail("the simulated board does not open");
    proto.DownloadHexRecords(0, buffer.get(), static_cast<std::int32_t>(text.size()));
    return 0;
}
