# The end-to-end tests, name and timeout (s), of every configuration: under Wine
# (tests/e2e/CMakeLists.txt) and natively on Linux (tests/linux/CMakeLists.txt).
set(QT741_E2E_TESTS
  write_read 60
  bad_status 60
  reset 90
  silent 120
  escape_read 90
  escape_write 90
  escape_early 90
  ports 90
  hangup 90
  soak 240
  version 30
  flow_control 90)
