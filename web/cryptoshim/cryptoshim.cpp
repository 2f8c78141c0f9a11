// Only a name: see CMakeLists.txt.
