#include "mapping/device_discovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "engine/emulation.h"

namespace ovrix {
namespace {

using ::testing::ThrowsMessage;

using emulation::EmulatedDriver;

struct Board {
  std::vector<std::unique_ptr<EmulatedDriver>> owned;
  std::vector<HardwareDriver*> drivers;

  explicit Board(const char* list) {
    for (const auto& spec : emulation::parse_devices(list)) {
      owned.push_back(emulation::make_driver(spec));
      drivers.push_back(owned.back().get());
    }
  }
  EmulatedDriver& operator[](size_t i) { return *owned.at(i); }
};

// Discovery with a check that records the devices it was asked about and answers `timed_out`.
struct Discovery {
  std::vector<std::shared_ptr<Device>> checked;
  bool timed_out = false;
  std::string output;

  std::vector<std::shared_ptr<Device>> run(const Board& board) {
    ::testing::internal::CaptureStdout();
    std::vector<std::shared_ptr<Device>> devices;
    try {
      devices = populate_devices(board.drivers, [this](const std::shared_ptr<Device>& d) {
        checked.push_back(d);
        return timed_out;
      });
    } catch (...) {
      output = ::testing::internal::GetCapturedStdout();
      throw;
    }
    output = ::testing::internal::GetCapturedStdout();
    return devices;
  }
};


TEST(Discovery, NoDriverNoDevice) {
  Discovery d;
  EXPECT_TRUE(d.run(Board("")).empty());
  EXPECT_EQ(d.output, "");
}

TEST(Discovery, HostDevicesInDriverOrderWithTheirMeshes) {
  Board board("v2,Tamsel_v1,lumo");
  Discovery d;
  const auto devices = d.run(board);
  ASSERT_EQ(devices.size(), 3u);
  const IpVersion editions[] = {IpVersion::v2, IpVersion::v1, IpVersion::lumo};
  for (size_t i = 0; i < 3; ++i) {
    auto* host = dynamic_cast<HostDevice*>(devices[i].get());
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->mesh().version, editions[i]);
    EXPECT_EQ(host->get_ip_version(), editions[i]);
    ASSERT_NE(host->hardware(), nullptr);
    EXPECT_EQ(host->hardware()->driver(), board.drivers[i]);
    EXPECT_EQ(host->version(), host->hardware()->version());
    EXPECT_EQ(host->desc(), host->hardware()->desc());
  }
  // 4 columns x 2 rows x 4 ids, less the DMA endpoints 0 and 1 of node (1, 1).
  EXPECT_EQ(devices[0]->mesh().nps.size(), 30u);
  EXPECT_EQ(devices[0]->mesh().skip_dmas.size(), 4u);
  EXPECT_TRUE(devices[0]->mesh().has_hrc());
  EXPECT_EQ(devices[1]->mesh().nps.size(), 38u);
  EXPECT_EQ(devices[2]->mesh().nps.size(), 1u);
  EXPECT_EQ(devices[2]->mesh().np_sram_size, SramSize_lumo);
  EXPECT_TRUE(d.checked.empty());
  EXPECT_EQ(d.output, "");
}

TEST(Discovery, ReadsTheV2HrcWordTwice) {
  Board board("v2");
  Discovery d;
  d.run(board);
  int reads = 0;
  for (const auto& a : board[0].accesses())
    if (!a.write && a.address == board[0].mesh_info_address() + 0x68) ++reads;
  EXPECT_EQ(reads, 2);
}

struct SkipCase {
  const char* what;
  const char* list;
  void (*script)(EmulatedDriver&);  // applied to the second driver
  const char* printed;
};

class DiscoverySkips : public ::testing::TestWithParam<SkipCase> {};

TEST_P(DiscoverySkips, PrintsTheMessageAndGoesOn) {
  Board board(GetParam().list);
  if (GetParam().script) GetParam().script(board[1]);
  Discovery d;
  const auto devices = d.run(board);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0]->hardware()->driver(), board.drivers[0]);
  EXPECT_EQ(devices[1]->hardware()->driver(), board.drivers[2]);
  EXPECT_EQ(d.output, std::string(GetParam().printed) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DiscoverySkips,
    ::testing::Values(
        SkipCase{"opening", "v2,Tamsel_v1:fail,lumo", nullptr,
                 "Cannot open the emulated device Tamsel_v1: it does not answer."},
        SkipCase{"no_input_sram", "v1,v2,v2",
                 [](EmulatedDriver& d) { d.set(d.mesh_info_address() + 0x70, 0); }, "The mesh has no SRAM."},
        SkipCase{"no_weight_sram", "v1,v2,v2",
                 [](EmulatedDriver& d) { d.set(d.mesh_info_address() + 0x74, 0); }, "The mesh has no SRAM."},
        SkipCase{"unknown_product", "v2,BC.77.00.00,v1", nullptr, "Unknown IP version."},
        SkipCase{"read_error", "v2,v1,lumo",
                 [](EmulatedDriver& d) { d.fail_reads_at(d.mesh_info_address() + 0x54); },
                 "Emulated read error at 0xFCC00054."}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Discovery, EditionMismatchEndsTheWholeDiscovery) {
  Board board("v1,v2:mismatch,lumo");
  Discovery d;
  EXPECT_THAT([&] { d.run(board); }, ThrowsMessage<std::invalid_argument>("Incompatible hardware and Ip versions: HW Version is 188.162.1.0 with product id = 162 while IP "
            "version is v1."));
  EXPECT_EQ(board[2].open_count(), 0u);
  EXPECT_EQ(d.output, "");
}

TEST(Discovery, TimedOutCheckReopensTheDriver) {
  Board board("Quor_v2,v2");
  Discovery d;
  d.timed_out = true;
  const auto devices = d.run(board);
  ASSERT_EQ(devices.size(), 2u);
  ASSERT_EQ(d.checked.size(), 1u);  // only the one version is checked
  EXPECT_EQ(board[0].open_count(), 2u);
  EXPECT_EQ(board[1].open_count(), 1u);
  EXPECT_NE(devices[0], d.checked[0]);
  EXPECT_NE(devices[0]->hardware(), d.checked[0]->hardware());
  EXPECT_EQ(devices[0]->version(), hw_versions::Quor_v2);
  EXPECT_EQ(devices[0]->mesh(), d.checked[0]->mesh());
  // Nothing else holds the first device: once the check lets it go it is released.
  std::weak_ptr<Device> first = d.checked[0];
  d.checked.clear();
  EXPECT_TRUE(first.expired());
}

TEST(Discovery, PassedCheckKeepsTheFirstDevice) {
  Board board("Quor_v2");
  Discovery d;
  const auto devices = d.run(board);
  ASSERT_EQ(devices.size(), 1u);
  ASSERT_EQ(d.checked.size(), 1u);
  EXPECT_EQ(devices[0], d.checked[0]);
  EXPECT_EQ(board[0].open_count(), 1u);
}

TEST(Discovery, CheckFailuresFollowTheSkipRule) {
  Board board("Quor_v2,v2");
  ::testing::internal::CaptureStdout();
  const auto devices = populate_devices(board.drivers, [](const std::shared_ptr<Device>&) -> bool {
    throw std::runtime_error("Cannot map the check model.");
  });
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Cannot map the check model.\n");
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->version(), hw_versions::Proteo_v2);

  EXPECT_THROW(populate_devices(board.drivers,
                                [](const std::shared_ptr<Device>&) -> bool { throw std::invalid_argument("bad"); }),
               std::invalid_argument);
}

// The process-wide list: the only test in this binary that asks for it.
TEST(GetDevices, RetriesAfterAFailedDiscoveryThenKeepsTheList) {
  emulation::set_devices(emulation::parse_devices("v2:mismatch"));
  EXPECT_THROW(get_devices(), std::invalid_argument);
  emulation::set_devices(emulation::parse_devices("v2,lumo"));
  const auto& first = get_devices();
  ASSERT_EQ(first.size(), 2u);
  emulation::set_devices(emulation::parse_devices("v1"));
  const auto& again = get_devices();
  EXPECT_EQ(&again, &first);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[1]->mesh().version, IpVersion::lumo);
  emulation::set_devices({});
}

}  // namespace
}  // namespace ovrix

namespace ovrix {
namespace {

std::unique_ptr<Model> input_model(int width, int height, int channels) {
  auto model = Model::create();
  const auto params = LayerParams::create(
      LayerType::InputData,
      {{"input_width", width}, {"input_height", height}, {"input_channels", channels}, {"input_bits", 8}});
  model->add(Layer::create(params.get(), "input"));
  return model;
}

TEST(ConstantInputs, AllOnesOfTheModelInputShape) {
  const auto model = input_model(8, 6, 3);
  const Shape in = model->input_shape();
  const auto input = get_constant_inputs(*model);
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->type(), TensorType::uint8);
  EXPECT_EQ(input->shape(), (Shape{1, in[0], in[1], in[2]}));
  EXPECT_EQ(input->size(), 8u * 6u * 3u);
  const auto bytes = input->data();
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{1}; }));
}

// Building or mapping the check model is not the check's outcome: those failures reach the caller.
TEST(HrcCheck, FailuresToMapTheCheckModelPropagate) {
  auto driver = emulation::make_driver(emulation::parse_devices("lumo")[0]);
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(driver.get()));
  EXPECT_THROW(hrc_check_timeout(device), std::runtime_error);
}

}  // namespace
}  // namespace ovrix
