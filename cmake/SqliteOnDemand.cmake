# SQLite loaded when a record store first needs it (src/production/
# sqlite_shim.cpp): the production code keeps calling sqlite3_* as usual,
# but the programs no longer have libsqlite3 on their link line, so the
# dynamic loader neither loads nor relocates it at every start-up (most runs
# of velkan never open a record). The store code is compiled against
# sqlite3.h as before.
option(VELKAN_SQLITE_ON_DEMAND "Load libsqlite3.so.0 at the first SQLite call" ON)
if(VELKAN_SQLITE_ON_DEMAND AND UNIX AND TARGET velkan_production)
  foreach(_property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
    get_target_property(_libraries velkan_production ${_property})
    if(_libraries)
      list(REMOVE_ITEM _libraries SQLite::SQLite3 "$<LINK_ONLY:SQLite::SQLite3>")
      set_property(TARGET velkan_production PROPERTY ${_property} ${_libraries})
    endif()
  endforeach()
  target_sources(velkan_production PRIVATE ${PROJECT_SOURCE_DIR}/src/production/sqlite_shim.cpp)
  target_include_directories(velkan_production SYSTEM PUBLIC
                             $<TARGET_PROPERTY:SQLite::SQLite3,INTERFACE_INCLUDE_DIRECTORIES>)
  target_link_libraries(velkan_production PUBLIC ${CMAKE_DL_LIBS})
endif()
