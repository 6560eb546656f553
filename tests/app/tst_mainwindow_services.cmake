vanteo_add_test(tst_mainwindow_services SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mainwindow_services.cpp
                LIBS vanteo_app vanteo_resources Qt5::Widgets)
