# The built program runs in place: it finds its descriptors, fonts, icon and CA
# bundle next to the executable, so the build puts them there.
set(KVN_RUNTIME_DIR ${CMAKE_BINARY_DIR})

set(KVN_INTER_FONT /usr/share/fonts/opentype/inter/Inter-Regular.otf
    CACHE FILEPATH "UI font installed by fonts-inter")
set(KVN_MONO_FONT /usr/share/fonts/truetype/jetbrains-mono/JetBrainsMono-Regular.ttf
    CACHE FILEPATH "Monospace font installed by fonts-jetbrains-mono")
set(KVN_SYSTEM_CA /etc/ssl/certs/ca-certificates.crt
    CACHE FILEPATH "System CA bundle copied as ca-bundle.pem")

file(GLOB KVN_API_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/api/*.json)
set(_outputs)
foreach(f ${KVN_API_FILES})
  get_filename_component(n ${f} NAME)
  set(o ${KVN_RUNTIME_DIR}/resources/api/${n})
  add_custom_command(OUTPUT ${o} COMMAND ${CMAKE_COMMAND} -E copy_if_different ${f} ${o} DEPENDS ${f})
  list(APPEND _outputs ${o})
endforeach()

# FreeType reads the OpenType Inter just as well under the .ttf name the
# program looks for.
foreach(pair "${KVN_INTER_FONT}|assets/fonts/inter.ttf"
             "${KVN_MONO_FONT}|assets/fonts/jetbrainsmono.ttf"
             "${CMAKE_SOURCE_DIR}/assets/kvn-icon.png|assets/kvn-icon.png"
             "${KVN_SYSTEM_CA}|ca-bundle.pem")
  string(REPLACE "|" ";" parts "${pair}")
  list(GET parts 0 src)
  list(GET parts 1 dst)
  if(EXISTS ${src})
    add_custom_command(OUTPUT ${KVN_RUNTIME_DIR}/${dst}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${src} ${KVN_RUNTIME_DIR}/${dst} DEPENDS ${src})
    list(APPEND _outputs ${KVN_RUNTIME_DIR}/${dst})
  else()
    message(WARNING "${src} missing: ${dst} will not be placed next to the executable")
  endif()
endforeach()
add_custom_target(kvn_runtime_files ALL DEPENDS ${_outputs})
add_dependencies(kelvane kvn_runtime_files)
