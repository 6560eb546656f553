vanteo_add_test(tst_localform SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_localform.cpp ${CMAKE_CURRENT_LIST_DIR}/ExifJpeg.h
  LIBS vanteo_localalbum_pages vanteo_localalbum vanteo_resources Qt5::Widgets Qt5::Sql TIMEOUT 240)
