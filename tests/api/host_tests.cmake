# Tests that load the built shared library as a host does.
ostrel_add_test(api_exports_test SOURCES exports_test.cpp LIBS ostrel_host SHARED_LIBRARY)
