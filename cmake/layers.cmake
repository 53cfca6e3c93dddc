# The layers (docs/ARCHITECTURE.md): scripts/check-layers.sh refuses an include past its
# layer. It runs whenever a checked file changes, before the driver and the simulation
# compile, so a forbidden include fails the build.
find_program(MORVANE_LAYERS_BASH NAMES bash REQUIRED)
set(MORVANE_CHECK_LAYERS ${PROJECT_SOURCE_DIR}/scripts/check-layers.sh)
file(GLOB_RECURSE MORVANE_LAYERED_SOURCES CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/driver/*.h ${PROJECT_SOURCE_DIR}/driver/*.cpp
     ${PROJECT_SOURCE_DIR}/hw/*.h
     ${PROJECT_SOURCE_DIR}/sim/*.h ${PROJECT_SOURCE_DIR}/sim/*.cpp
     ${PROJECT_SOURCE_DIR}/apps/*.h ${PROJECT_SOURCE_DIR}/apps/*.cpp
     ${PROJECT_SOURCE_DIR}/bench/*.h ${PROJECT_SOURCE_DIR}/bench/*.cpp
     ${PROJECT_SOURCE_DIR}/tools/*.h ${PROJECT_SOURCE_DIR}/tools/*.cpp)
set(MORVANE_LAYERS_STAMP ${CMAKE_BINARY_DIR}/layers.checked)
add_custom_command(
  OUTPUT ${MORVANE_LAYERS_STAMP}
  COMMAND ${MORVANE_LAYERS_BASH} ${MORVANE_CHECK_LAYERS} --stamp ${MORVANE_LAYERS_STAMP}
          ${PROJECT_SOURCE_DIR}
  DEPENDS ${MORVANE_CHECK_LAYERS} ${MORVANE_LAYERED_SOURCES}
  COMMENT "Checking that every include stays within its layer"
  VERBATIM)
add_custom_target(morvane_layers DEPENDS ${MORVANE_LAYERS_STAMP})
