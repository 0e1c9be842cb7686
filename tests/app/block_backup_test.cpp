// Parameter-block backups: what is written is what is read, damage is seen, nothing is lost
// when the program dies right after the copy, and the folder rules hold.
#include "app/block_backup.h"
#include "app/block_mark.h"
#include "testkit/file_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using flashwell::app::BackupStore;
using flashwell::app::Crc32;
using flashwell::app::ReadBackupFile;
using flashwell::boarddata::FlashDataBlock;
using flashwell::boarddata::FlashDataRecord;
using flashwell::testing::ReadAll;
using flashwell::testing::WriteAll;

class TempFolder {
public:
    TempFolder() {
        path_ = fs::temp_directory_path() /
                ("flashwell-backup-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempFolder() { fs::remove_all(path_); }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

FlashDataBlock BoardBlock(const std::string& serial) {
    FlashDataRecord record;
    record.ProductName = "vexta/USB";
    record.Customer = "VELD Instruments";
    record.SerialNumber = serial;
    FlashDataBlock block;
    block.fill(0xFF);
    flashwell::boarddata::PackFlashData(record, block);
    for (std::size_t i = 1024; i < block.size(); i += 97)
        block[i] = static_cast<std::uint8_t>(i * 7); // calibration-like bytes all over
    return block;
}

constexpr std::time_t kNoon = 1796817600; // 2026-12-09T12:00:00Z

TEST(BlockBackup, Crc32MatchesTheStandardCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc32({reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}),
              0xCBF43926u);
}

// What a block tells of its own write: each way a write can end, cut or not, and the blocks of
// earlier tools, which carry no mark.
TEST(BlockMark, EveryCutPointReadsAsCutAndWholeBlocksDoNot) {
    using flashwell::app::BlockState;
    using flashwell::app::JudgeBlock;
    using flashwell::app::WithBlockMark;
    FlashDataBlock factory; // an earlier tool's block: data, then the three uncovered cells erased
    for (std::size_t i = 0; i < factory.size(); ++i)
        factory[i] = static_cast<std::uint8_t>(i * 7 + 3);
    factory[7170] = 0x00;
    for (std::size_t i = 7171; i < 7174; ++i)
        factory[i] = 0xFF;
    const FlashDataBlock marked = WithBlockMark(factory);
    // The block as a write cut after `cells` cells leaves it on an erased sector.
    const auto cutAfter = [&](std::size_t cells) {
        FlashDataBlock b = marked;
        std::fill(b.begin() + static_cast<long>(cells), b.end(), std::uint8_t{0xFF});
        return b;
    };
    struct Case {
        const char* name;
        FlashDataBlock block;
        BlockState expected;
    };
    FlashDataBlock zeroTail = factory; // an earlier tool that wrote zeros there
    zeroTail[7171] = zeroTail[7172] = zeroTail[7173] = 0;
    FlashDataBlock oneBitOff = marked;
    oneBitOff[100] ^= 0x01;
    for (const Case& c : {
             Case{"written to its end", marked, BlockState::Marked},
             Case{"earlier tool, mark cells erased", factory, BlockState::Unmarked},
             Case{"earlier tool, mark cells zero", zeroTail, BlockState::Unmarked},
             Case{"a byte changed after the write", oneBitOff, BlockState::Unmarked},
             Case{"cut right after the erase", cutAfter(0), BlockState::Erased},
             Case{"cut after block 1", cutAfter(2048), BlockState::CutShort},
             Case{"cut after block 2", cutAfter(4096), BlockState::CutShort},
             Case{"cut after block 3", cutAfter(6144), BlockState::CutShort},
             Case{"cut inside block 4", cutAfter(6500), BlockState::CutShort},
             Case{"cut before the last data cell", cutAfter(7170), BlockState::CutShort},
             // Every data cell is in place: only the mark is missing, the block is whole.
             Case{"cut inside the mark", cutAfter(7172), BlockState::Unmarked},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(JudgeBlock(c.block), c.expected);
    }
    // The mark's top bit is clear: a mark never reads as erased cells.
    EXPECT_LT(marked[7171], 0x80);
    EXPECT_TRUE(std::equal(marked.begin(), marked.begin() + 7171, factory.begin()));
}

TEST(BlockBackup, SavedCopyReadsBackWithItsHeaderAndEveryByte) {
    TempFolder dir;
    BackupStore store(dir.Path(), "flashwell 9.9", [] { return kNoon; });
    const FlashDataBlock block = BoardBlock("2004-K7A-1024-5-0312");
    std::string error;
    const auto path = store.Save(block, "\\\\?\\usb#vid_1057&pid_1801#1-2", error);
    ASSERT_TRUE(path) << error;
    EXPECT_EQ(path->parent_path(), dir.Path() / "backups");
    EXPECT_EQ(path->filename().string(), "2004-K7A-1024-5-0312_20261209T120000Z.fwblock");
    EXPECT_FALSE(fs::exists(fs::path(path->string() + ".tmp")));

    const auto back = ReadBackupFile(*path, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->block, block);
    EXPECT_EQ(back->header.serial, "2004-K7A-1024-5-0312");
    EXPECT_EQ(back->header.product, "vexta/USB");
    EXPECT_EQ(back->header.customer, "VELD Instruments");
    EXPECT_EQ(back->header.devicePath, "\\\\?\\usb#vid_1057&pid_1801#1-2");
    EXPECT_EQ(back->header.tool, "flashwell 9.9");
    EXPECT_EQ(back->header.timeUtc, "2026-12-09T12:00:00Z");
    EXPECT_EQ(back->header.crc, Crc32(block));
    // The block is stored raw at the end, so it can be cut out by hand.
    const std::string file = ReadAll(*path);
    EXPECT_EQ(file.substr(file.size() - block.size()),
              std::string(reinterpret_cast<const char*>(block.data()), block.size()));
}

TEST(BlockBackup, DamagedOrForeignFilesAreRefusedWithAReason) {
    TempFolder dir;
    BackupStore store(dir.Path(), "flashwell", [] { return kNoon; });
    std::string error;
    const auto path = store.Save(BoardBlock("S1"), "dev", error);
    ASSERT_TRUE(path) << error;
    const std::string good = ReadAll(*path);
    const fs::path copy = dir.Path() / "copy.fwblock";

    std::string flipped = good;
    flipped[flipped.size() - 100] ^= 0x01;
    WriteAll(copy, flipped);
    EXPECT_FALSE(ReadBackupFile(copy, error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;

    WriteAll(copy, good.substr(0, good.size() - 1));
    EXPECT_FALSE(ReadBackupFile(copy, error));
    EXPECT_NE(error.find("7173 bytes"), std::string::npos) << error;

    WriteAll(copy, good + "x");
    EXPECT_FALSE(ReadBackupFile(copy, error));
    EXPECT_NE(error.find("7175 bytes"), std::string::npos) << error;

    std::string otherFormat = good;
    otherFormat.replace(otherFormat.find("format: 1"), 9, "format: 2");
    WriteAll(copy, otherFormat);
    EXPECT_FALSE(ReadBackupFile(copy, error));
    EXPECT_NE(error.find("format 2"), std::string::npos) << error;

    WriteAll(copy, "PK\x03\x04 something else entirely");
    EXPECT_FALSE(ReadBackupFile(copy, error));
    EXPECT_NE(error.find("not a parameter-block backup"), std::string::npos) << error;

    EXPECT_FALSE(ReadBackupFile(dir.Path() / "missing.fwblock", error));
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;
}

TEST(BlockBackup, CopiesNeverReplaceEachOtherAndListNewestFirst) {
    TempFolder dir;
    std::time_t now = kNoon;
    BackupStore store(dir.Path(), "flashwell", [&] { return now; });
    std::string error;
    const auto first = store.Save(BoardBlock("S1"), "dev", error);
    const auto sameSecond = store.Save(BoardBlock("S1"), "dev", error);
    now += 60;
    const auto other = store.Save(BoardBlock("S2/../x"), "dev", error);
    ASSERT_TRUE(first && sameSecond && other) << error;
    EXPECT_NE(*first, *sameSecond);
    // A serial number never reaches outside the folder.
    EXPECT_EQ(other->parent_path(), dir.Path() / "backups");

    const auto all = store.List();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].header.serial, "S2/../x");
    const auto s1 = store.List("S1");
    ASSERT_EQ(s1.size(), 2u);
    EXPECT_EQ(s1[0].path, *sameSecond);
}

TEST(BlockBackup, NoFolderMeansNoCopyAndSaysWhy) {
    TempFolder dir;
    WriteAll(dir.Path() / "file", "not a folder");
    BackupStore store(dir.Path() / "file", "flashwell", [] { return kNoon; });
    std::string error;
    EXPECT_FALSE(store.Save(BoardBlock("S1"), "dev", error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;

    BackupStore unnamed({}, "flashwell");
    EXPECT_FALSE(unnamed.Save(BoardBlock("S1"), "dev", error));
    EXPECT_NE(error.find("--data-dir"), std::string::npos) << error;
}

// The program dies the moment the copy is written (before any erase could be sent): the copy
// is on the disk, complete and readable.
TEST(BlockBackupDeathTest, CopySurvivesAnAbortRightAfterTheSave) {
    TempFolder dir;
    const FlashDataBlock block = BoardBlock("CRASH-1");
    EXPECT_DEATH(
        {
            BackupStore store(dir.Path(), "flashwell", [] { return kNoon; });
            std::string error;
            if (store.Save(block, "dev", error)) std::abort();
            std::exit(0);
        },
        "");
    BackupStore store(dir.Path(), "flashwell");
    const auto copies = store.List();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].block, block);
    for (const auto& entry : fs::directory_iterator(dir.Path() / "backups"))
        EXPECT_EQ(entry.path().extension(), ".fwblock") << entry.path();
}

TEST(BlockBackup, DataFolderFollowsTheEnvironment) {
#ifndef _WIN32
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string restore = saved ? saved : "";
    ::setenv("XDG_DATA_HOME", "/tmp/xdg-test", 1);
    EXPECT_EQ(flashwell::app::DefaultDataFolder(), fs::path("/tmp/xdg-test/flashwell"));
    // A relative XDG_DATA_HOME is to be ignored.
    ::setenv("XDG_DATA_HOME", "relative", 1);
    EXPECT_EQ(flashwell::app::DefaultDataFolder().filename(), "flashwell");
    EXPECT_NE(flashwell::app::DefaultDataFolder(), fs::path("relative/flashwell"));
    if (saved)
        ::setenv("XDG_DATA_HOME", restore.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
#endif
}

} // namespace
