// Finalisation of a written write-once cartridge through the real KelDriver:
// "Sync" "SyncFinalisation" closes every written slot, after which the
// volume mounts finalised and refuses writes.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace e2e {
namespace {

constexpr std::uint16_t kIntegrityDescriptor = 9;
constexpr std::uint32_t kFinalisedReason = 0xC0002F4A;  // reason 0x1000 with the write-protect bits

// The integrity descriptor of a write-once slot: its type (0 open, 1
// closed) and the operation status byte of its implementation use.
struct Integrity {
  std::uint32_t type = 0xFFFFFFFF;
  std::uint8_t operation_status = 0xFF;
};

Integrity integrity_at(kelsim::Cartridge& c, int slot, std::uint32_t lsn) {
  Integrity out;
  std::uint8_t b[kelsim::kBlockSize] = {};
  if (c.read_blocks(slot, lsn, 1, b) != 0 || tag_of_block(c, slot, lsn) != kIntegrityDescriptor) return out;
  std::uint32_t parts = 0;
  std::memcpy(&out.type, b + 16 + 12, 4);
  std::memcpy(&parts, b + 72, 4);
  if (parts > 8) return out;
  out.operation_status = b[80 + 8 * parts + 28];
  return out;
}

// The integrity descriptor's block as udfinfo reports it.
std::uint32_t lvid_block(const std::string& image) {
  int status = -1;
  const std::string out = udfinfo_output(image, &status);
  const std::size_t at = out.find(", blocks=1, type=LVID");
  if (at == std::string::npos) return 0;
  const std::size_t start = out.rfind("start=", at);
  return static_cast<std::uint32_t>(std::stoul(out.substr(start + 6, at - start - 6)));
}

class Finalisation : public Scenario {};

TEST_F(Finalisation, AWrittenWriteOnceCartridgeMountsFinalisedAndRefusesWrites) {
  const auto t0 = std::chrono::steady_clock::now();
  make_sim({});
  dwords_ = {{"Packed Write Mode", 0}};
  start();
  check_mounts();
  mkdir("/a");
  ASSERT_TRUE(archive_file("/a/file", 200000, 1).ok);
  sync("SyncTime");
  mkdir("/b");  // left for the finalising flush
  const EngineElement f = sync("SyncFinalisation");
  EXPECT_EQ(f.attribute("Dirty"), "0") << f.raw;
  EXPECT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "WriteProtectReason"), kFinalisedReason);
  unmount();

  kelsim::Cartridge& c = cartridge();
  const auto slots = written_slots(c);
  ASSERT_FALSE(slots.empty());
  for (int s : slots) {
    SCOPED_TRACE(s);
    EXPECT_EQ(c.disc(s).status, kelsim::DiscStatus::Complete);
    char name[32];
    std::snprintf(name, sizeof name, "/slot-%02d.img", s);
    const std::uint32_t lvid = lvid_block(sim_->cartridge_directory() + name);
    ASSERT_NE(lvid, 0u);
    const Integrity i = integrity_at(c, s, lvid);
    EXPECT_EQ(i.type, 1u) << "closed";
    EXPECT_EQ(i.operation_status, 3) << "finalised";
  }
  expect_udfinfo_on_written_slots({"integrity=closed", "numdirs=4"});  // the root, /a, /b, the metadata folder
  std::printf("[ time ] finalised: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));

  // A restart mounts it finalised; writes are refused and lose nothing.
  start();
  const EngineElement v = ask_one("Check", "KelVolume");
  EXPECT_EQ(number(v, "WriteProtectReason"), kFinalisedReason) << v.raw;
  ask_one("CreateDirectory", "HRESULT",
          {{"Name", kelsim::escape_name("/x")}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "b"}));
  expect_restores("/a/file");
  expect_sound_cartridge({{"/", {"a", "b"}}, {"/a", {"file"}}}, {"/a/file"});
  std::printf("[ time ] finalisation: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

}  // namespace
}  // namespace e2e
