# Picks the library a test or benchmark source needs from the highest layer it
# includes, so a unit's tests build without the layers above it.
function(stravik_layer_library src out_var)
  set(lib stravik_dsp)
  foreach(layer effects engine)
    file(STRINGS ${src} hits REGEX "#include \"${layer}/")
    if(hits)
      set(lib stravik_${layer})
    endif()
  endforeach()
  # Layers above the engine (each library brings the engine with it).
  foreach(extra assets tools presets control link ui)
    file(STRINGS ${src} hits REGEX "#include \"${extra}/")
    if(hits)
      list(APPEND lib stravik_${extra})
    endif()
  endforeach()
  set(${out_var} ${lib} PARENT_SCOPE)
endfunction()
