# The Qt Widgets views, the window and the lumora-desktop program.
# The views are built on the host's models: nothing to do without them.
if(NOT TARGET lumora_hostcore)
  message(STATUS "lumora_hostcore is not defined: the window is not built")
  return()
endif()
set(CMAKE_AUTORCC ON)
find_package(Qt6 REQUIRED COMPONENTS Widgets Svg Network)
include(GNUInstallDirs)

add_library(lumora_hostui STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/app/ActionButton.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/app/DomainManagerFactory.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/app/Icons.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/app/MainWindow.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/app/Shapes.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/app/SingleInstance.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/app/Spinner.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/app/StatusBar.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/app/Style.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/app/SwitchControl.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/onboarding/OnboardingView.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/controlplane/ControlPlaneView.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/controlplane/GoBackSheet.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/controlplane/PillarRow.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/controlplane/SnapshotCard.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/resources/lumora.qrc)
target_include_directories(lumora_hostui PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lumora_hostui PUBLIC lumora_hostcore lumora_foundation Qt6::Widgets Qt6::Svg Qt6::Network)
if(TARGET lumora_domainmanager)
  target_link_libraries(lumora_hostui PRIVATE lumora_domainmanager)
  target_compile_definitions(lumora_hostui PRIVATE LUMORA_HAVE_DOMAIN_MANAGER=1)
endif()

add_executable(lumora-desktop ${CMAKE_CURRENT_SOURCE_DIR}/app/main.cpp)
target_link_libraries(lumora-desktop PRIVATE lumora_hostui)

# The desktop entry names the installed program by its full path.
set(LUMORA_DESKTOP_EXEC "${CMAKE_INSTALL_FULL_BINDIR}/lumora-desktop")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/resources/com.lumora.desktop.desktop.in
  ${CMAKE_CURRENT_BINARY_DIR}/com.lumora.desktop.desktop @ONLY)

install(TARGETS lumora-desktop RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/com.lumora.desktop.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/com.lumora.desktop.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
