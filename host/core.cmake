# The host's models, command runner and connection sequence: Qt Core only.
set(LUMORA_HOSTCORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/app/LumoraHostApp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/app/LumoraHostApp.h
  ${CMAKE_CURRENT_LIST_DIR}/connect/CliToken.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connect/Connect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/onboarding/OnboardingModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/onboarding/OnboardingModel.h
  ${CMAKE_CURRENT_LIST_DIR}/controlplane/CommandRunner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controlplane/Timing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controlplane/ControlPlaneModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controlplane/ControlPlaneModel.h
  ${CMAKE_CURRENT_LIST_DIR}/controlplane/SnapshotItem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controlplane/SnapshotModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controlplane/SnapshotModel.h)
add_library(lumora_hostcore STATIC ${LUMORA_HOSTCORE_SOURCES})
target_include_directories(lumora_hostcore PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lumora_hostcore
  PUBLIC Qt6::Core lumora_foundation lumora_fileprovider lumora_servicemanagement)
