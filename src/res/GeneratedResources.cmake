# The start picture (bitmap resource 133) and the application icon (icon
# 128) are drawn at build time by Python scripts instead of being kept in the
# repository as binary files.
#
# Each function adds its rule to the calling directory and sets <var> to the
# generated file; the file's directory is what a resource script naming it
# needs on its include path.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(tunara_generated_resource out_var script output comment)
    set(script_path ${PROJECT_SOURCE_DIR}/src/res/${script})
    set(output_path ${CMAKE_CURRENT_BINARY_DIR}/${output})
    add_custom_command(
        OUTPUT ${output_path}
        COMMAND Python3::Interpreter ${script_path} ${output_path}
        DEPENDS ${script_path}
        COMMENT ${comment}
        VERBATIM)
    set(${out_var} ${output_path} PARENT_SCOPE)
endfunction()

# tunara_start_picture(<var>): StartPicture.bmp
function(tunara_start_picture out_var)
    tunara_generated_resource(file make_start_picture.py StartPicture.bmp
        "Drawing the start picture")
    set(${out_var} ${file} PARENT_SCOPE)
endfunction()

# tunara_app_icon(<var>): TunaraHelper.ico
function(tunara_app_icon out_var)
    tunara_generated_resource(file make_icon.py TunaraHelper.ico "Drawing the application icon")
    set(${out_var} ${file} PARENT_SCOPE)
endfunction()
