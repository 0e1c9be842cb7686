# Embedding of the board images (docs/images.md).
#
# flashwell_embed_images(<out_var>) adds the custom command that checks the image files in
# FLASHWELL_IMAGE_DIR with flashwell-imagetool and writes the source with their constant arrays
# into the current build folder; <out_var> receives that source's path. A defective image stops
# the build with a message naming the file and its first defect.
#
# The tool is the target flashwell-imagetool (tools/imagetool), or the executable named by
# FLASHWELL_IMAGETOOL, which a cross build (e.g. with mingw) must point at a native build of it.

# The image files, read from the one list of them (src/boarddata/images/image_list.h): every
# quoted name in a row of kImageFiles.
set(_flashwell_image_list ${CMAKE_CURRENT_LIST_DIR}/../src/boarddata/images/image_list.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_flashwell_image_list})
file(STRINGS ${_flashwell_image_list} _flashwell_image_rows REGEX "^ *{ImageKind::[A-Za-z0-9]+, \"")
set(FLASHWELL_IMAGE_FILES)
foreach(_row IN LISTS _flashwell_image_rows)
    string(REGEX MATCH "\"([^\"]+)\"" _ "${_row}")
    list(APPEND FLASHWELL_IMAGE_FILES ${CMAKE_MATCH_1})
endforeach()
if(NOT FLASHWELL_IMAGE_FILES)
    message(FATAL_ERROR "No image files found in ${_flashwell_image_list}")
endif()

function(flashwell_embed_images out_var)
    set(_output ${CMAKE_CURRENT_BINARY_DIR}/generated/flashwell_image_data.cpp)
    set(_inputs)
    foreach(_file IN LISTS FLASHWELL_IMAGE_FILES)
        list(APPEND _inputs ${FLASHWELL_IMAGE_DIR}/${_file})
    endforeach()
    if(FLASHWELL_IMAGETOOL)
        set(_tool ${FLASHWELL_IMAGETOOL})
        set(_tool_dependency ${FLASHWELL_IMAGETOOL})
    elseif(CMAKE_CROSSCOMPILING)
        message(FATAL_ERROR "Cross-compiling: set FLASHWELL_IMAGETOOL to a native build of "
                            "flashwell-imagetool")
    else()
        set(_tool $<TARGET_FILE:flashwell-imagetool>)
        set(_tool_dependency flashwell-imagetool)
    endif()
    add_custom_command(
        OUTPUT ${_output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/generated
        COMMAND ${_tool} generate ${FLASHWELL_IMAGE_DIR} ${_output}
        DEPENDS ${_inputs} ${_tool_dependency}
        COMMENT "Checking and embedding the board images of ${FLASHWELL_IMAGE_DIR}"
        VERBATIM)
    set(${out_var} ${_output} PARENT_SCOPE)
endfunction()
