# The QT741DLL package of an installed prefix: find_package(QT741DLL) gives the
# imported target QT741DLL::QT741DLL, libQT741DLL.so with the headers' folder
# (include/qt741) on its include path.
include("${CMAKE_CURRENT_LIST_DIR}/QT741DLLTargets.cmake")
