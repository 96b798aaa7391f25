// Submodule boardZmx2400: the SPI flash controller of a board whose driver reaches a ZMX2400 flash,
// for testing, debugging and validation.
#include <stdexcept>

#include "engine/device.h"
#include "python/bindings.h"
#include "python/hardware_device.h"

namespace ovrix {

uint16_t SpiFlashController::get_id() const { throw std::runtime_error("get_id function is not yet implemented"); }

namespace python {

void init_flash_board(py::module_& m) {
  auto board = m.def_submodule("boardZmx2400",
                               "Spi flash controller for the zmx2400meant for testing, debugging and validation only.");
  py::classh<SpiFlashController>(board, "SpiFlashController").def("get_id", &SpiFlashController::get_id);
  board.def("get_flash", [](std::shared_ptr<PyHardwareDevice> device) -> std::shared_ptr<SpiFlashController> {
    HardwareDevice* hw = device->hardware();
    HardwareDriver* driver = hw ? hw->driver() : nullptr;
    auto* flash = dynamic_cast<FlashAccessDriver*>(driver);
    if (flash == nullptr) throw std::invalid_argument("The device does not contain an ZMX2400 flash");
    return flash->flash_controller();
  }, py::arg().none(false));  // positional, and None is no device
}

}  // namespace python
}  // namespace ovrix
