// A delay fault holds a command's answer after the command ran: the test
// sees it held, the drive's state already changed, and releases it. A
// cartridge copied from a stored one keeps its images sparse and its state.
#include "sim_support.h"

#include <sys/stat.h>

#include <thread>

namespace {

using namespace simtest;

TEST_F(SimTest, AHeldAnswerFollowsTheCommandAndGoesOutOnRelease) {
  start();
  kelsim::FaultRule hold = kelsim::delay_answer(24ull * 3600 * 1000, 0x2A);
  hold.times = 1;
  hold.skip = 1;  // the second WRITE(10)
  sim_->drive().add_fault(hold);
  ASSERT_TRUE(good(format_unit()));
  Bytes data(2048, 0x5A);
  ASSERT_TRUE(good(out(rw10(0x2A, 0, 1), data)));
  EXPECT_EQ(sim_->service().held(), 0u);

  kelsim::ScsiCall c;
  c.cdb = rw10(0x2A, 1, 1);
  c.data_out = Bytes(2048, 0xA5);
  c.transfer_length = 2048;
  c.cookie = sim_->cookie();
  ASSERT_EQ(client_.send(c), ERROR_SUCCESS);
  ASSERT_TRUE(sim_->service().wait_for_held(1, 30000));
  EXPECT_EQ(sim_->service().last_held().opcode(), 0x2A);
  std::vector<std::uint8_t> b(2048);
  ASSERT_EQ(0u, sim_->cartridge().read_blocks(0, 1, 1, b.data()));
  EXPECT_EQ(b[0], 0xA5) << "the command ran before its answer was held";
  for (const auto& e : sim_->service().transcript())
    EXPECT_FALSE(e.opcode() == 0x2A && e.cdb[5] == 1) << "not answered yet: " << e.line();

  sim_->service().release_held();
  kelsim::RawAnswer a;
  ASSERT_EQ(client_.receive(&a), ERROR_SUCCESS);
  EXPECT_TRUE(good(a));
  EXPECT_EQ(sim_->service().held(), 1u);
}

TEST_F(SimTest, WriteAttributeParameterListsAreInTheTranscript) {
  start();
  const Bytes list{0, 0, 0, 7, 0x08, 0x06, 0x00, 0x00, 0x02, 'A', 'B'};
  Bytes cdb(16, 0);
  cdb[0] = 0x8D;
  cdb[13] = static_cast<std::uint8_t>(list.size());
  out(cdb, list);
  const auto t = sim_->service().transcript();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back().parameter_list, list);
}

TEST(SimCartridgeCopy, ACopiedCartridgeKeepsItsStateAndItsHoles) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xE2;
  o.cartridge.slots = 2;
  std::string source;
  std::vector<std::uint8_t> block(2048, 0x3C);
  auto first = std::make_unique<kelsim::SimHarness>(o);
  first->cartridge().disc(1).formatted = true;
  ASSERT_EQ(0u, first->cartridge().write_blocks(1, 1000, 1, block.data()));
  first->cartridge().attributes[0x0D00].value = {0x01};
  ASSERT_EQ(0u, first->drive().flush());
  source = first->directory() + "/kept";
  ASSERT_EQ(0u, kelsim::copy_directory_sparse(first->cartridge_directory(), source));

  kelsim::HarnessOptions copy;
  copy.cartridge_source = source;
  kelsim::SimHarness second(copy);
  EXPECT_EQ(second.cartridge().slots(), 2);
  EXPECT_TRUE(second.cartridge().disc(1).formatted);
  EXPECT_EQ(second.cartridge().loaded_slot, 0) << "opened with the disc that was loaded, not the last written one";
  std::vector<std::uint8_t> back(2048);
  ASSERT_EQ(0u, second.cartridge().read_blocks(1, 1000, 1, back.data()));
  EXPECT_EQ(back, block);
  struct stat st {};
  ASSERT_EQ(0, ::stat((second.cartridge_directory() + "/slot-01.img").c_str(), &st));
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, std::uint64_t{1} << 20) << "holes kept";
  EXPECT_GE(static_cast<std::uint64_t>(st.st_size), std::uint64_t{2048} * 1001);
}

}  // namespace
