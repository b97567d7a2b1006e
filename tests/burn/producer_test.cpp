#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "burn/producer.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// Bytes that tell their own offset apart (a block read from the wrong place shows).
std::string patterned(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 2048) & 0xFF);
  return s;
}

std::string bytesOf(const std::vector<std::byte>& buffer, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(buffer.data()), n);
}

class ProducerModes : public ::testing::TestWithParam<Producer::CacheBypass> {};

// O_DIRECT depends on the file system of the temp folder.
#define PREPARE_OR_SKIP(producer)                                                       \
  do {                                                                                  \
    auto prepared = (producer).prepareTrack();                                          \
    if (!prepared.ok() && GetParam() == Producer::CacheBypass::DirectIo &&              \
        prepared.error().message.find("O_DIRECT") != std::string::npos) {               \
      GTEST_SKIP() << prepared.error().message;                                         \
    }                                                                                   \
    ASSERT_TRUE(prepared.ok()) << prepared.error().message;                             \
    EXPECT_EQ((producer).readsDirectly(), GetParam() == Producer::CacheBypass::DirectIo); \
  } while (false)

TEST_P(ProducerModes, StreamsInOrderAndRewindsForTheVerificationPass) {
  TempDir dir;
  const std::string image = patterned(6144);
  test::writeFile(dir / "s.iso", image);
  Producer producer(GetParam());
  producer.setFilePath(dir / "s.iso");
  EXPECT_EQ(producer.filePath(), dir / "s.iso");
  PREPARE_OR_SKIP(producer);

  std::vector<std::byte> buffer(4096);
  for (int pass = 0; pass < 2; ++pass) {
    auto first = producer.produceData(buffer);
    ASSERT_TRUE(first.ok()) << first.error().message;
    ASSERT_EQ(first.value(), 4096u);
    EXPECT_EQ(bytesOf(buffer, 4096), image.substr(0, 4096));
    auto second = producer.produceData(buffer);
    ASSERT_TRUE(second.ok());
    ASSERT_EQ(second.value(), 2048u);
    EXPECT_EQ(bytesOf(buffer, 2048), image.substr(4096, 2048));
  }

  // Smaller buffers that leave the offsets unaligned still read the right bytes.
  std::vector<std::byte> small(2048);
  for (std::size_t at = 0; at < 6144; at += 2048) {
    auto r = producer.produceData(small);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value(), 2048u);
    EXPECT_EQ(bytesOf(small, 2048), image.substr(at, 2048)) << at;
  }
  producer.cleanupTrack();
  EXPECT_FALSE(producer.produceData(buffer).ok());  // closed
}

TEST_P(ProducerModes, ARequestOfExactlyTheRestEndsThePass) {
  TempDir dir;
  const std::string image = patterned(8192);
  test::writeFile(dir / "s.iso", image);
  Producer producer(GetParam());
  producer.setFilePath(dir / "s.iso");
  PREPARE_OR_SKIP(producer);
  std::vector<std::byte> buffer(8192);
  ASSERT_EQ(producer.produceData(buffer).value(), 8192u);
  ASSERT_EQ(producer.produceData(buffer).value(), 8192u);  // from byte 0 again
  EXPECT_EQ(bytesOf(buffer, 8192), image);
  std::vector<std::byte> larger(65536);
  ASSERT_EQ(producer.produceData(larger).value(), 8192u);
  EXPECT_EQ(bytesOf(larger, 8192), image);
}

TEST_P(ProducerModes, AnImageThatShrinksIsAnErrorNotGarbage) {
  TempDir dir;
  test::writeFile(dir / "s.iso", patterned(3 * 65536));
  Producer producer(GetParam());
  producer.setFilePath(dir / "s.iso");
  PREPARE_OR_SKIP(producer);
  std::vector<std::byte> buffer(65536);
  ASSERT_EQ(producer.produceData(buffer).value(), 65536u);
  ASSERT_EQ(::truncate((dir / "s.iso").c_str(), 65536 + 3000), 0);
  auto shrunk = producer.produceData(buffer);
  ASSERT_FALSE(shrunk.ok());
  EXPECT_EQ(shrunk.error().kind, ErrorKind::Io);
  EXPECT_NE(shrunk.error().message.find("ended at byte 68536"), std::string::npos) << shrunk.error().message;
}

INSTANTIATE_TEST_SUITE_P(CacheBypass, ProducerModes,
                         ::testing::Values(Producer::CacheBypass::Automatic, Producer::CacheBypass::DirectIo));

TEST(Producer, EmptyImageGivesNothingEveryTime) {
  TempDir dir;
  test::writeFile(dir / "empty.iso", "");
  Producer producer;
  producer.setFilePath(dir / "empty.iso");
  ASSERT_TRUE(producer.prepareTrack().ok());
  std::vector<std::byte> buffer(4096);
  for (int i = 0; i < 3; ++i) {
    auto r = producer.produceData(buffer);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 0u);
  }
  EXPECT_EQ(producer.fileSize().value, 0);
}

TEST(Producer, FileSizeCountsWholeBlocksOnly) {
  TempDir dir;
  Producer producer;
  producer.setFilePath(dir / "a.iso");
  EXPECT_EQ(producer.fileSize().value, 0);  // not there yet
  test::writeFile(dir / "a.iso", std::string(1'048'576, 'a'));
  EXPECT_EQ(producer.fileSize().value, 512);
  test::writeFile(dir / "a.iso", std::string(1'050'000, 'a'));
  EXPECT_EQ(producer.fileSize().value, 512);
  // Sizes past 32 bits (a sparse file).
  ASSERT_EQ(::truncate((dir / "a.iso").c_str(), 5LL * 1024 * 1024 * 1024 + 100), 0);
  EXPECT_EQ(producer.fileSize().value, 2'621'440);
  ASSERT_TRUE(producer.prepareTrack().ok());
  std::vector<std::byte> buffer(65536);
  EXPECT_EQ(producer.produceData(buffer).value(), 65536u);
}

TEST(Producer, PrepareFailsForAnImageItCannotRead) {
  TempDir dir;
  Producer producer;
  EXPECT_EQ(producer.prepareTrack().error().kind, ErrorKind::InvalidInput);  // no path
  producer.setFilePath(dir / "missing.iso");
  auto missing = producer.prepareTrack();
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::NotFound);
  EXPECT_NE(missing.error().message.find("missing.iso"), std::string::npos);

  fs::create_directory(dir / "folder.iso");
  producer.setFilePath(dir / "folder.iso");
  EXPECT_EQ(producer.prepareTrack().error().kind, ErrorKind::InvalidInput);

  ASSERT_EQ(::mkfifo((dir / "fifo.iso").c_str(), 0644), 0);  // must not hang
  producer.setFilePath(dir / "fifo.iso");
  EXPECT_EQ(producer.prepareTrack().error().kind, ErrorKind::InvalidInput);

  test::writeFile(dir / "secret.iso", patterned(4096));
  ::chmod((dir / "secret.iso").c_str(), 0600);
  test::openUpForNobody(dir.path());
  const fs::path secret = dir / "secret.iso";
  const int kind = test::runAsNobody([&] {
    Producer asNobody;
    asNobody.setFilePath(secret);
    auto r = asNobody.prepareTrack();
    return r.ok() ? 0 : 10 + static_cast<int>(r.error().kind);
  });
  EXPECT_EQ(kind, 10 + static_cast<int>(ErrorKind::PermissionDenied));

  std::vector<std::byte> buffer(4096);
  Producer unprepared;
  unprepared.setFilePath(secret);
  EXPECT_FALSE(unprepared.produceData(buffer).ok());
}

}  // namespace
}  // namespace tessaline
