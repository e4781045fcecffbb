# wxWidgets as one interface target, so that GUI targets link it like any other
# library instead of changing the include paths of a whole directory.
include_guard(GLOBAL)

find_package(wxWidgets 3.2 REQUIRED COMPONENTS core base xml qa html adv)

if(NOT TARGET plexord::wx)
  add_library(plexord_wx INTERFACE)
  add_library(plexord::wx ALIAS plexord_wx)
  target_include_directories(plexord_wx SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
  target_compile_definitions(plexord_wx INTERFACE ${wxWidgets_DEFINITIONS})
  target_compile_options(plexord_wx INTERFACE ${wxWidgets_CXX_FLAGS})
  list(REMOVE_ITEM wxWidgets_LIBRARIES "")
  target_link_libraries(plexord_wx INTERFACE ${wxWidgets_LIBRARIES})
endif()
