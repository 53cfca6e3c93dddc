# The card's PCI identity and the driver package's version: the one place the INF's models,
# the emulated card and the simulated installation take them from.
#
# For a board with other IDs: cmake --preset windows -DMORVANE_PCI_VENDOR_ID=1A2B
#   -DMORVANE_PCI_DEVICE_ID_STANDARD=3C4D (four hexadecimal digits each).

set(MORVANE_PCI_VENDOR_ID "4D56" CACHE STRING "PCI vendor ID of the card (4 hex digits)")
set(MORVANE_PCI_DEVICE_ID_STANDARD "7001" CACHE STRING
    "PCI device ID of the board whose decoders are both memory-mapped (4 hex digits)")
# The driver tells the board with the decoder behind the two-wire bus by this device ID, so
# it is not a setting.
set(MORVANE_PCI_DEVICE_ID_6864 "6864")
# The subsystem the emulated card reports (subsystem ID, then subsystem vendor ID).
set(MORVANE_PCI_SUBSYSTEM_ID "0001")

set(MORVANE_DRIVER_VERSION "1.0.0.1")
set(MORVANE_DRIVER_DATE "06/03/2024")

foreach(id MORVANE_PCI_VENDOR_ID MORVANE_PCI_DEVICE_ID_STANDARD MORVANE_PCI_SUBSYSTEM_ID)
  if(NOT ${id} MATCHES "^[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]$")
    message(FATAL_ERROR "${id} is '${${id}}': four hexadecimal digits are needed")
  endif()
  string(TOUPPER "${${id}}" ${id})
endforeach()
if(MORVANE_PCI_DEVICE_ID_STANDARD STREQUAL MORVANE_PCI_DEVICE_ID_6864)
  message(FATAL_ERROR "MORVANE_PCI_DEVICE_ID_STANDARD must differ from 6864, the other board's")
endif()
