# The start picture (bitmap resource 133) is drawn at build time by
# make_start_picture.py instead of being kept in the repository.
#
# tunara_start_picture(<var>) adds the rule to the calling directory and sets
# <var> to the generated file; the file's directory is what a resource script
# naming "StartPicture.bmp" needs on its include path.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(tunara_start_picture out_var)
    set(script ${PROJECT_SOURCE_DIR}/src/res/make_start_picture.py)
    set(bitmap ${CMAKE_CURRENT_BINARY_DIR}/StartPicture.bmp)
    add_custom_command(
        OUTPUT ${bitmap}
        COMMAND Python3::Interpreter ${script} ${bitmap}
        DEPENDS ${script}
        COMMENT "Drawing the start picture"
        VERBATIM)
    set(${out_var} ${bitmap} PARENT_SCOPE)
endfunction()
