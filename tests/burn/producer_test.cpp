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

class ProducerModes : public ::testing::TestWithParam<Producer::CacheBypass> {
 protected:
  // Writes the image and prepares the producer on it. O_DIRECT depends on
  // the file system of the temp folder: answers false where it cannot be had.
  bool open(const std::string& image) {
    test::writeFile(dir / "s.iso", image);
    producer.setFilePath(dir / "s.iso");
    auto prepared = producer.prepareTrack();
    if (!prepared.ok() && GetParam() == Producer::CacheBypass::DirectIo &&
        prepared.error().message.find("O_DIRECT") != std::string::npos)
      return false;
    EXPECT_TRUE(prepared.ok()) << prepared.error().message;
    EXPECT_EQ(producer.readsDirectly(), GetParam() == Producer::CacheBypass::DirectIo);
    return prepared.ok();
  }
  // Asks for `size` bytes; answers what came.
  std::string read(std::size_t size) {
    std::vector<std::byte> buffer(size);
    auto r = producer.produceData(buffer);
    EXPECT_TRUE(r.ok()) << r.error().message;
    return r.ok() ? bytesOf(buffer, r.value()) : std::string("<error>");
  }
  TempDir dir;
  Producer producer{GetParam()};
};

TEST_P(ProducerModes, StreamsInOrderAndRewindsForTheVerificationPass) {
  const std::string image = patterned(6144);
  if (!open(image)) GTEST_SKIP() << "no O_DIRECT here";
  EXPECT_EQ(producer.filePath(), dir / "s.iso");
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(read(4096), image.substr(0, 4096));
    EXPECT_EQ(read(4096), image.substr(4096, 2048));
  }
  // Smaller buffers that leave the offsets unaligned still read the right bytes.
  for (std::size_t at = 0; at < 6144; at += 2048) EXPECT_EQ(read(2048), image.substr(at, 2048)) << at;
  producer.cleanupTrack();
  std::vector<std::byte> buffer(4096);
  EXPECT_FALSE(producer.produceData(buffer).ok());  // closed
}

TEST_P(ProducerModes, ARequestOfExactlyTheRestEndsThePass) {
  const std::string image = patterned(8192);
  if (!open(image)) GTEST_SKIP() << "no O_DIRECT here";
  EXPECT_EQ(read(8192), image);
  EXPECT_EQ(read(8192), image);  // from byte 0 again
  EXPECT_EQ(read(65536), image);
}

TEST_P(ProducerModes, AnImageThatShrinksIsAnErrorNotGarbage) {
  if (!open(patterned(3 * 65536))) GTEST_SKIP() << "no O_DIRECT here";
  EXPECT_EQ(read(65536).size(), 65536u);
  ASSERT_EQ(::truncate((dir / "s.iso").c_str(), 65536 + 3000), 0);
  std::vector<std::byte> buffer(65536);
  auto shrunk = producer.produceData(buffer);
  ASSERT_FALSE(shrunk.ok());
  EXPECT_EQ(shrunk.error().kind, ErrorKind::Io);
  EXPECT_NE(shrunk.error().message.find("ended at byte 68536"), std::string::npos) << shrunk.error().message;
}

INSTANTIATE_TEST_SUITE_P(CacheBypass, ProducerModes,
                         ::testing::Values(Producer::CacheBypass::Automatic, Producer::CacheBypass::DirectIo));

TEST(Producer, FileSizeCountsWholeBlocksOnly) {
  TempDir dir;
  Producer producer;
  producer.setFilePath(dir / "a.iso");
  EXPECT_EQ(producer.fileSize().value, 0);  // not there yet
  // An empty image gives nothing, every time.
  test::writeFile(dir / "a.iso", "");
  ASSERT_TRUE(producer.prepareTrack().ok());
  std::vector<std::byte> buffer(65536);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(producer.produceData(buffer).value(), 0u);
  producer.cleanupTrack();
  for (const auto& [bytes, blocks] : {std::pair{0LL, 0LL}, std::pair{1'048'576LL, 512LL}, std::pair{1'050'000LL, 512LL},
                                      std::pair{5LL * 1024 * 1024 * 1024 + 100, 2'621'440LL}}) {  // past 32 bits, sparse
    ASSERT_EQ(::truncate((dir / "a.iso").c_str(), bytes), 0);
    EXPECT_EQ(producer.fileSize().value, blocks) << bytes;
  }
  ASSERT_TRUE(producer.prepareTrack().ok());
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
  ASSERT_EQ(::mkfifo((dir / "fifo.iso").c_str(), 0644), 0);  // must not hang
  for (const char* name : {"folder.iso", "fifo.iso"}) {
    producer.setFilePath(dir / name);
    EXPECT_EQ(producer.prepareTrack().error().kind, ErrorKind::InvalidInput) << name;
  }

  test::writeFile(dir / "secret.iso", patterned(4096));
  ::chmod((dir / "secret.iso").c_str(), 0600);
  test::openUpForNobody(dir.path());
  const fs::path secret = dir / "secret.iso";
  EXPECT_EQ(test::runAsNobody([&] {
              Producer asNobody;
              asNobody.setFilePath(secret);
              auto r = asNobody.prepareTrack();
              return r.ok() ? 0 : 10 + static_cast<int>(r.error().kind);
            }),
            10 + static_cast<int>(ErrorKind::PermissionDenied));

  std::vector<std::byte> buffer(4096);
  Producer unprepared;
  unprepared.setFilePath(secret);
  EXPECT_FALSE(unprepared.produceData(buffer).ok());
}

}  // namespace
}  // namespace tessaline
