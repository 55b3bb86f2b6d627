# The desktop dialog (Qt 6 Widgets). Targets: vantrel, and its tests.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

set(VANTREL_APP_DIR ${PROJECT_SOURCE_DIR}/app)

# The dialog without main(), shared by the program and its tests.
add_library(vantrel_gui STATIC
    ${VANTREL_APP_DIR}/AppIcon.cpp
    ${VANTREL_APP_DIR}/CAboutDlg.cpp
    ${VANTREL_APP_DIR}/CLoaderDlg.cpp
    ${VANTREL_APP_DIR}/CQtLoaderView.cpp
    ${VANTREL_APP_DIR}/DialogLayout.cpp
    ${VANTREL_APP_DIR}/LogPanel.cpp
    ${VANTREL_APP_DIR}/PortComboBox.cpp
)
set_target_properties(vantrel_gui PROPERTIES AUTOMOC ON)
target_link_libraries(vantrel_gui PUBLIC vantrel_engine Qt6::Widgets)

add_executable(vantrel ${VANTREL_APP_DIR}/main.cpp)
target_link_libraries(vantrel PRIVATE vantrel_gui)
install(TARGETS vantrel RUNTIME DESTINATION bin)

# The icon is drawn by the same code the window uses, at build time.
add_executable(vantrel_icon ${VANTREL_APP_DIR}/IconTool.cpp ${VANTREL_APP_DIR}/AppIcon.cpp)
target_link_libraries(vantrel_icon PRIVATE Qt6::Gui)
target_include_directories(vantrel_icon PRIVATE ${PROJECT_SOURCE_DIR})
set(VANTREL_ICON_32 ${CMAKE_CURRENT_BINARY_DIR}/icons/32/vantrel.png)
set(VANTREL_ICON_16 ${CMAKE_CURRENT_BINARY_DIR}/icons/16/vantrel.png)
add_custom_command(
    OUTPUT ${VANTREL_ICON_32} ${VANTREL_ICON_16}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icons/32 ${CMAKE_CURRENT_BINARY_DIR}/icons/16
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            $<TARGET_FILE:vantrel_icon> 32 ${VANTREL_ICON_32} 16 ${VANTREL_ICON_16}
    DEPENDS vantrel_icon
    COMMENT "Drawing the vantrel icon"
    VERBATIM)
add_custom_target(vantrel_icons ALL DEPENDS ${VANTREL_ICON_32} ${VANTREL_ICON_16})
add_dependencies(vantrel vantrel_icons)
install(FILES ${VANTREL_ICON_32} DESTINATION share/icons/hicolor/32x32/apps)
install(FILES ${VANTREL_ICON_16} DESTINATION share/icons/hicolor/16x16/apps)
install(FILES ${VANTREL_APP_DIR}/vantrel.desktop DESTINATION share/applications)

if(VANTREL_BUILD_TESTS)
    find_package(Qt6 REQUIRED COMPONENTS Test)
    # Qt Test programs that drive the real dialog on the offscreen platform,
    # with the device simulator or a bare pseudo-terminal pinned to a COM number.
    foreach(name dialog_tests download_tests small_screen_tests)
        add_executable(gui_${name} ${PROJECT_SOURCE_DIR}/tests/gui/${name}.cpp)
        set_target_properties(gui_${name} PROPERTIES AUTOMOC ON)
        target_include_directories(gui_${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
        target_link_libraries(gui_${name} PRIVATE vantrel_gui vantrel_sim_lib Qt6::Test)
        if(name STREQUAL "small_screen_tests")
            # One small screen, as 2x on a 1280 x 1024 monitor gives.
            add_test(NAME gui_${name} COMMAND gui_${name} -platform
                offscreen:configfile=${PROJECT_SOURCE_DIR}/tests/gui/small-screen.json)
        else()
            add_test(NAME gui_${name} COMMAND gui_${name})
        endif()
        set_tests_properties(gui_${name} PROPERTIES
            LABELS "gui;threaded"
            TIMEOUT 120
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTEST_FUNCTION_TIMEOUT=60000")
        if(VANTREL_SANITIZE STREQUAL "thread")
            set_property(TEST gui_${name} PROPERTY ENVIRONMENT_MODIFICATION
                "TSAN_OPTIONS=string_append: suppressions=${PROJECT_SOURCE_DIR}/tests/gui/tsan.supp")
        endif()
    endforeach()
endif()
