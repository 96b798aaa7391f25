// Device programs crafted to be read at misaligned addresses or to announce more input or output
// than a device holds: refused by the program view and by the emulated device before anything changes.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "support/test_programs.h"
#include "engine/emulation.h"
#include "engine/program_info.h"
#include "support/message_of.h"

namespace ovrix::emulation {
namespace {

using device_testing::build_program;
using device_testing::info_part_size;
using device_testing::TestProgram;
using test_support::message_of;

// The program with `extra` bytes appended to its information part (its size prefix grown to match):
// still a valid information buffer, but the data part then starts `extra` bytes later.
std::vector<uint8_t> padded_info(const std::vector<uint8_t>& program, uint32_t extra) {
  const size_t info = info_part_size(program);
  std::vector<uint8_t> out(program.begin(), program.begin() + static_cast<std::ptrdiff_t>(info));
  out.insert(out.end(), extra, 0);
  const uint32_t prefix = static_cast<uint32_t>(info - 4 + extra);
  std::memcpy(out.data(), &prefix, 4);
  out.insert(out.end(), program.begin() + static_cast<std::ptrdiff_t>(info), program.end());
  return out;
}

struct Bench {
  std::unique_ptr<EmulatedDriver> driver = make_driver(parse_devices("v2").at(0));
  std::shared_ptr<HardwareDevice> device = HardwareDevice::create(driver.get());
};

TEST(ProgramReader, AnInformationPartOfPartialWordsIsRefused) {
  const auto good = build_program(TestProgram());
  for (uint32_t extra : {1u, 2u, 3u}) {
    const auto bad = padded_info(good, extra);
    const size_t info = info_part_size(good) + extra;
    const std::string expected = "Invalid device program: the program information takes " + std::to_string(info) +
                                 " bytes, not a whole number of 32-bit words.";
    EXPECT_EQ(message_of<std::runtime_error>([&] { ProgramInfo(bad.data(), bad.size()); }), expected);

    Bench b;
    b.device->program(good.data(), good.size());
    EXPECT_EQ(message_of<std::runtime_error>([&] { b.device->program(bad.data(), bad.size()); }), expected);
    // The same information given with the data already on the device.
    b.device->program(padded_info(good, 4).data(), good.size() + 4);  // places the data part
    EXPECT_EQ(message_of<std::runtime_error>([&] { b.device->program_external(bad.data(), info, program_data_address); }),
              expected);
    EXPECT_EQ(b.device->program().size(), good.size() + 4);  // the loaded program stays
  }
  // Whole words of padding read as before.
  const auto four = padded_info(good, 4);
  const ProgramInfo view(four.data(), four.size());
  EXPECT_EQ(view.info_size(), info_part_size(good) + 4);
  EXPECT_EQ(output_memory_required(view), 40u);
}

TEST(ProgramReader, BytesOffAWordBoundaryInMemoryAreACallersError) {
  const auto good = build_program(TestProgram());
  std::vector<uint8_t> shifted(good.size() + 1);
  std::memcpy(shifted.data() + 1, good.data(), good.size());
  EXPECT_EQ(message_of<std::invalid_argument>([&] { ProgramInfo(shifted.data() + 1, good.size()); }),
            "Device program bytes must start at a 4-byte aligned address.");
}

TEST(ProgramReader, TheDeviceRefusesInputsAndOutputsBeyondItsMemory) {
  Bench b;
  const auto good = build_program(TestProgram());
  b.device->program(good.data(), good.size());
  // Dimension values do not change a program's size: the largest output that fits beside the
  // program and a 16-element input is known in advance.
  const uint64_t room = (device_memory_bytes - good.size() - 16) / 4;
  const uint32_t fits = static_cast<uint32_t>(room);
  const auto largest = build_program(TestProgram().out({1, 1, fits}));
  ASSERT_EQ(largest.size(), good.size());
  const auto too_large = build_program(TestProgram().out({1, 1, fits + 1}));
  const auto huge = build_program(TestProgram().out({0xFFFFFFFFu}));
  const auto huge_input = build_program(TestProgram().in({65536, 65536, 1}));
  const auto overflowing = build_program(TestProgram().in({0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}));
  struct Refused {
    const std::vector<uint8_t>& program;
    std::string counts;
  };
  for (const Refused& r : {Refused{too_large, "input (16 elements) and output (" + std::to_string(fits + 1) + " elements)"},
                           Refused{huge, "input (16 elements) and output (4294967295 elements)"},
                           Refused{huge_input, "input (4294967296 elements) and output (10 elements)"},
                           Refused{overflowing, "input (18446744073709551615 elements) and output (10 elements)"}}) {
    EXPECT_EQ(message_of<std::runtime_error>([&] { b.device->program(r.program.data(), r.program.size()); }),
              "Invalid device program: one sample's " + r.counts +
                  " do not fit the 268435456 bytes of device memory beside the program.");
    ASSERT_EQ(b.device->program().size(), good.size());
    EXPECT_TRUE(std::equal(good.begin(), good.end(), b.device->program().begin()));
  }
  b.device->program(largest.data(), largest.size());
  EXPECT_EQ(b.device->program().size(), largest.size());
}

}  // namespace
}  // namespace ovrix::emulation
