vanteo_add_test(tst_vanteoui SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_vanteoui.cpp
                LIBS vanteo_app vanteo_resources Qt5::Widgets)
