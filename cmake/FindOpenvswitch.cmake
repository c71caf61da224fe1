# The Open vSwitch library built by scripts/setup.sh into a cache directory outside the tree.
# Only C shim files include its headers; C++ code calls the shims.
set(_ovs_hint "$ENV{OVS_PREFIX}")
if(NOT _ovs_hint)
  if(DEFINED ENV{QOR_DEPS_CACHE})
    set(_ovs_hint "$ENV{QOR_DEPS_CACHE}/ovs")
  else()
    set(_ovs_hint "$ENV{HOME}/.cache/vevuroro/ovs")
  endif()
endif()
find_library(OPENVSWITCH_LIBRARY NAMES libopenvswitch.a PATHS ${_ovs_hint}/lib NO_DEFAULT_PATH)
find_path(OPENVSWITCH_INCLUDE_DIR NAMES openvswitch/json.h PATHS ${_ovs_hint}/include NO_DEFAULT_PATH)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Openvswitch DEFAULT_MSG OPENVSWITCH_LIBRARY OPENVSWITCH_INCLUDE_DIR)
if(Openvswitch_FOUND AND NOT TARGET openvswitch::openvswitch)
  add_library(openvswitch::openvswitch STATIC IMPORTED)
  set_target_properties(openvswitch::openvswitch PROPERTIES
    IMPORTED_LOCATION ${OPENVSWITCH_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES "${OPENVSWITCH_INCLUDE_DIR};${OPENVSWITCH_INCLUDE_DIR}/lib"
    INTERFACE_LINK_LIBRARIES "Threads::Threads;m;rt")
endif()
