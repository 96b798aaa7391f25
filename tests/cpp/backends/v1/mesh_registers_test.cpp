// Mesh-facing words of a v1 NP against a table (tests/data/v1/mesh_registers.txt): output routing
// (words 44 to 47) and the configuration DMA (word 49), with the bits each write keeps.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "backends/v1/mesh_registers.h"
#include "backends/v1/np_registers.h"
#include "support/message_of.h"
#include "support/v1_table.h"

namespace ovrix::v1 {
namespace {

using testing::Case;
using testing::num;

hw::Ident ident(const std::string& text) {
  std::vector<uint32_t> p;
  std::stringstream ss(text);
  for (std::string t; std::getline(ss, t, '.');) p.push_back(static_cast<uint32_t>(std::stoul(t)));
  return hw::Ident(uint8_t(p.at(0)), uint8_t(p.at(1)), uint8_t(p.at(2)), 0);
}

std::vector<hw::Component> components(const std::string& text) {
  std::vector<hw::Component> out;
  if (text == "-") return out;
  std::stringstream ss(text);
  for (std::string t; std::getline(ss, t, ',');) {
    hw::Component c(t == "hrc" ? hw::Type::HRC : hw::Type::CNP1);
    if (t != "hrc") c.ident = ident(t);
    out.push_back(c);
  }
  return out;
}

TEST(V1MeshRegisters, Table) {
  for (const Case& c : testing::read_table("mesh_registers.txt")) {
    SCOPED_TRACE(c.where());
    std::vector<uint32_t> regs(NP_REGISTER_WORDS, testing::hex(c.in.at(1)));
    std::vector<uint32_t> expected = regs;
    std::function<void()> run;
    if (c.in[0] == "out") {
      run = [&] {
        format_mesh_registers_set_output_to_NPs(&regs, components(c.in.at(2)), components(c.in.at(3)),
                                                components(c.in.at(4)), uint8_t(num(c.in.at(5))), num(c.in.at(6)) != 0,
                                                num(c.in.at(7)) != 0, num(c.in.at(8)) != 0);
      };
      for (size_t i = 0; i < c.out.size(); ++i) expected.at(44 + i) = testing::hex(c.out[i]);
    } else {
      run = [&] { format_mesh_cfg_dma_reg(&regs, ident(c.in.at(2))); };
      if (!c.fails()) expected.at(49) = testing::hex(c.out.at(0));
    }
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of(run), c.error);
      continue;
    }
    run();
    for (size_t w = 0; w < regs.size(); ++w) EXPECT_EQ(regs[w], expected[w]) << "word " << w;
  }
}

TEST(V1MeshRegisters, InputBufferSpikes) {
  std::vector<uint32_t> regs(NP_REGISTER_WORDS, 0x01010101);
  set_ib_spikes(&regs);
  std::vector<uint32_t> expected(NP_REGISTER_WORDS, 0x01010101);
  expected[2] = 0x01010181;
  EXPECT_EQ(regs, expected);
}

TEST(V1MeshRegisters, DefaultImage) {
  std::vector<uint32_t> expected(50, 0);
  expected[6] = 0x04040000;
  expected[12] = 0x52000000;
  expected[13] = 0x00000010;
  expected[37] = 0xFF000000;
  EXPECT_EQ(default_np_regs(), expected);
}

}  // namespace
}  // namespace ovrix::v1
