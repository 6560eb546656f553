vanteo_add_test(tst_organiser SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_organiser.cpp ${CMAKE_CURRENT_LIST_DIR}/ExifJpeg.h
  LIBS vanteo_localalbum Qt5::Gui Qt5::Sql PkgConfig::LIBEXIF TIMEOUT 240)
