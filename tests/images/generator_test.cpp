// The stand-in images in images/ are exactly what the generator produces, and the generator's
// output is sound by the build's own checks.
#include "boarddata/images/image_check.h"
#include "imagegen/imagegen.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <set>

namespace flashwell::imagegen {
namespace {

using images::ImageFiles;

TEST(ImageGenerator, RegeneratedFilesEqualTheCommittedImages) {
    images::test::TempDir dir("regenerate");
    ASSERT_EQ(WriteImages(dir.str()), "");
    for (const auto& file : ImageFiles()) {
        const auto generated = images::test::ReadBytes(dir.path() / file.fileName);
        const auto committed = images::test::ReadBytes(
            std::filesystem::path(FLASHWELL_COMMITTED_IMAGE_DIR) / file.fileName);
        EXPECT_EQ(generated.size(), file.size) << file.fileName;
        EXPECT_TRUE(generated == committed) << file.fileName << " differs from images/";
    }
}

TEST(ImageGenerator, ExecutableWritesTheSameFiles) {
    images::test::TempDir dir("imagegen-exe");
    ASSERT_EQ(images::test::RunCommand(std::string("'") + FLASHWELL_IMAGEGEN_EXE + "' '" +
                                       dir.str() + "'"),
              0);
    const auto files = GenerateImages();
    for (const auto& f : files)
        EXPECT_TRUE(images::test::ReadBytes(dir.path() / f.fileName) == f.bytes) << f.fileName;
}

TEST(ImageGenerator, OutputIsDeterministicAndPassesTheChecks) {
    const auto first = GenerateImages();
    const auto second = GenerateImages();
    ASSERT_EQ(first.size(), 8u);
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].fileName, ImageFiles()[i].fileName);
        EXPECT_TRUE(first[i].bytes == second[i].bytes) << first[i].fileName;
        EXPECT_EQ(images::CheckImage(ImageFiles()[i].kind, first[i].bytes), "")
            << first[i].fileName;
    }
}

// Bodies are pseudo-random, not filler: no two 2048-byte blocks (the flash writers' block
// size) of an RBF image or the KPCI data are equal, so a block written twice or misplaced is
// detectable.
TEST(ImageGenerator, NoTwoFlashBlocksAreEqual) {
    for (const auto& f : GenerateImages()) {
        if (f.fileName.ends_with(".hex") || f.fileName.ends_with(".iic")) continue;
        std::set<std::vector<std::uint8_t>> blocks;
        std::size_t count = 0;
        for (std::size_t o = 0; o + 2048 <= f.bytes.size(); o += 2048, ++count)
            blocks.emplace(f.bytes.begin() + static_cast<long>(o),
                           f.bytes.begin() + static_cast<long>(o + 2048));
        EXPECT_EQ(blocks.size(), count) << f.fileName;
    }
}

TEST(ImageGenerator, TextsOfTheFlashProgramAndKpciData) {
    EXPECT_EQ(kFlashProgramNameText.size(), 27u);
    EXPECT_EQ(kFlashProgramVersionText.size(), 21u);
    EXPECT_EQ(kKpciNameText.size(), 27u);
    EXPECT_LE(kKpciDateText.size(), 12u);
}

} // namespace
} // namespace flashwell::imagegen
