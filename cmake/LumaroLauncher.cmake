# lumaro_add_launcher(<target>
#     APP_DIR <folder>                  the app: node.exe, home.mjs and its files
#     [OUTPUT_NAME <name>]              file name without .exe (default: Lumaro)
#     [VERSION <version>]               the release's version in the exe's version
#                                       resource, e.g. 2.3.4 or 1.5.0-beta.2 (default:
#                                       APP_DIR/package.json's "version", else 0.0.0)
#     [NODE_EXE <file>]                 packed as the top-level node.exe; APP_DIR
#                                       then holds none
#     [PRODUCT_NAME <name>] [COMPANY <name>] [DESCRIPTION <text>]
#     [COPYRIGHT <text>] [ICON <file.ico>] [DATA_FOLDER <name>]
#     [WINDOW_TITLE <text>] [MUTEX_NAME <name>]
#                                       the exe's identity, as lmr-pack's
#                                       --product-name ... --mutex-name (default:
#                                       APP_DIR/package.json's, else Lumaro's own)
#     [PACK_TOOL <path>]                lmr-pack (default: LUMARO_PACK_TOOL)
#     [PACK_ARGS <args>...]             extra lmr-pack options, e.g. --level 50
#     [SIGN_PFX <key.pfx>               Authenticode-sign the exe after linking, with
#      | SIGN_PKCS11 <uri>              a .pfx, a key on a PKCS#11 token (a PKCS#11 URI,
#        SIGN_CERT <certs.pem>          its certificate and chain, the token's module),
#        SIGN_MODULE <module.so>        or a command run with the unsigned exe and the
#      | SIGN_COMMAND <cmd>             path to write the signed one; the password or
#      [TIMESTAMP_URL <url>]])          PIN is LUMARO_SIGN_PASSWORD at build time
#
# Packs the folder into a payload record and links a launcher around it. The
# launcher code itself is prebuilt once: another app costs a pack and a link.
include_guard(GLOBAL)

set(LUMARO_PACK_TOOL "" CACHE FILEPATH "Host build of lmr-pack")
set(LUMARO_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

# Every launcher link, here and in lumaro-link. Page-aligned sections can be
# mapped straight from the file: the record is then paged in only when
# installing, instead of copied in at every start. No link time goes into the
# PE header, so the same inputs give the same bytes.
# Cached, since the include guard keeps a project that includes this module
# after add_subdirectory of this one from seeing plain variables set here.
set(LUMARO_LAUNCHER_LINK_OPTIONS
  -municode -mwindows -s -Wl,--file-alignment,4096 -Wl,--no-insert-timestamp
  CACHE INTERNAL "Link options of every launcher")
# What every launcher links besides its payload, in link order: the prebuilt
# objects, then the libraries (targets, or system libraries by name).
set(LUMARO_LAUNCHER_LINK_OBJECTS lmr_launcher_main lmr_launcher_resources
  CACHE INTERNAL "Object libraries of every launcher")
set(LUMARO_LAUNCHER_LINK_LIBRARIES
  lmr_launcher lmr_launcher_portable lmr_package lmr_package_portable lmr_platform lmr_platform_portable ntdll
  CACHE INTERNAL "Libraries of every launcher, in link order")

# lumaro_payload_record_asm(<out-var> <record path>)
# The assembly that puts the record in .rdata, read in place by the launcher.
function(lumaro_payload_record_asm out_var record)
  set(${out_var}
    ".section .rdata,\"dr\"\n.globl lmr_payload_record\n.p2align 4\nlmr_payload_record:\n.incbin \"${record}\"\n"
    PARENT_SCOPE)
endfunction()

# The identity settings and the lmr-pack option each is passed as.
set(LUMARO_IDENTITY_SETTINGS PRODUCT_NAME COMPANY DESCRIPTION COPYRIGHT ICON DATA_FOLDER WINDOW_TITLE MUTEX_NAME
  CACHE INTERNAL "lumaro_add_launcher's identity settings")

# lumaro_command_argument(<out-var> <value>)
# value as one element of a custom command's argument list, whatever it
# holds: COMMAND splits every argument on ";" once generator expressions are
# evaluated, so ";" is written $<SEMICOLON>; "$" as an expression that gives
# "$", so that a "$<...>" in a name stays text; and "\" as one that gives
# "\", so that a value ending in one does not escape the list's next ";".
function(lumaro_command_argument out_var value)
  string(REPLACE "$" "$<1:$>" value "${value}")
  string(REPLACE "\\" "$<1:\\>" value "${value}")
  string(REPLACE ";" "$<SEMICOLON>" value "${value}")
  set(${out_var} "${value}" PARENT_SCOPE)
endfunction()

# lumaro_add_payload(<out-var> NAME <name> APP_DIR <folder> PACK_TOOL <path>
#                    [VERSION <version>] [NODE_EXE <file>] [EXE_NAME <file name>]
#                    [<identity setting> <value>]... [PACK_ARGS ...])
# Sets <out-var> to the three sources that carry a packed folder: the record
# in .rdata (assembly with .incbin), the generated constants (sizes and
# identity) and the exe's resource script (version information and the icon
# lmr-pack writes beside it). An empty value is no setting.
function(lumaro_add_payload out_var)
  cmake_parse_arguments(PARSE_ARGV 1 P "" "NAME;APP_DIR;PACK_TOOL;VERSION;NODE_EXE;EXE_NAME;${LUMARO_IDENTITY_SETTINGS}"
                        "PACK_ARGS")
  if(DEFINED P_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "lumaro_add_payload(${out_var}): unknown arguments: ${P_UNPARSED_ARGUMENTS}")
  endif()
  set(gen "${CMAKE_CURRENT_BINARY_DIR}/${P_NAME}.payload")
  file(GLOB_RECURSE app_files CONFIGURE_DEPENDS LIST_DIRECTORIES false "${P_APP_DIR}/*")
  # Each value goes into the command as one element (see
  # lumaro_command_argument); the lists below hold them so escaped.
  set(release_args)
  if(NOT "${P_VERSION}" STREQUAL "")
    lumaro_command_argument(value "${P_VERSION}")
    list(APPEND release_args --version "${value}")
  endif()
  if(NOT "${P_NODE_EXE}" STREQUAL "")
    get_filename_component(P_NODE_EXE "${P_NODE_EXE}" ABSOLUTE)
    lumaro_command_argument(value "${P_NODE_EXE}")
    list(APPEND release_args --node-exe "${value}")
    string(REPLACE ";" "\\;" value "${P_NODE_EXE}")
    list(APPEND app_files "${value}")
  endif()
  if(NOT "${P_ICON}" STREQUAL "")
    get_filename_component(P_ICON "${P_ICON}" ABSOLUTE)
    string(REPLACE ";" "\\;" value "${P_ICON}")
    list(APPEND app_files "${value}")
  endif()
  foreach(setting IN LISTS LUMARO_IDENTITY_SETTINGS ITEMS EXE_NAME)
    if(NOT "${P_${setting}}" STREQUAL "")
      string(TOLOWER "--${setting}" option)
      string(REPLACE "_" "-" option "${option}")
      lumaro_command_argument(value "${P_${setting}}")
      list(APPEND release_args ${option} "${value}")
    endif()
  endforeach()
  set(pack_args)
  foreach(arg IN LISTS P_PACK_ARGS)
    lumaro_command_argument(value "${arg}")
    list(APPEND pack_args "${value}")
  endforeach()
  lumaro_command_argument(pack_tool "${P_PACK_TOOL}")
  lumaro_command_argument(app_dir "${P_APP_DIR}")
  add_custom_command(
    OUTPUT ${gen}/record.bin ${gen}/payload_constants.cpp ${gen}/version.rc ${gen}/icon.ico
    COMMAND "${pack_tool}" --quiet ${release_args} ${pack_args} "${app_dir}"
            --record ${gen}/record.bin --constants ${gen}/payload_constants.cpp
            --version-rc ${gen}/version.rc --icon-out ${gen}/icon.ico
    DEPENDS ${app_files} ${P_PACK_TOOL}
    COMMENT "Packing ${P_APP_DIR}"
    VERBATIM)
  lumaro_payload_record_asm(asm ${gen}/record.bin)
  # Rewritten only when it changes: a reconfigure must not reassemble it.
  file(CONFIGURE OUTPUT ${gen}/payload_record.S CONTENT "${asm}" @ONLY)
  set_source_files_properties(${gen}/payload_record.S PROPERTIES
    LANGUAGE ASM OBJECT_DEPENDS ${gen}/record.bin)
  # windres finds the icon beside the script.
  set_source_files_properties(${gen}/version.rc PROPERTIES OBJECT_DEPENDS ${gen}/icon.ico)
  set(${out_var} ${gen}/payload_record.S ${gen}/payload_constants.cpp ${gen}/version.rc PARENT_SCOPE)
endfunction()

function(lumaro_add_launcher target)
  cmake_parse_arguments(PARSE_ARGV 1 L ""
    "APP_DIR;OUTPUT_NAME;PACK_TOOL;SIGN_PFX;SIGN_PKCS11;SIGN_CERT;SIGN_MODULE;SIGN_COMMAND;TIMESTAMP_URL;VERSION;NODE_EXE;${LUMARO_IDENTITY_SETTINGS}"
    "PACK_ARGS")
  if(DEFINED L_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "lumaro_add_launcher(${target}): unknown arguments: ${L_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT L_APP_DIR)
    message(FATAL_ERROR "lumaro_add_launcher(${target}): APP_DIR is required")
  endif()
  if("VERSION" IN_LIST L_KEYWORDS_MISSING_VALUES OR "NODE_EXE" IN_LIST L_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "lumaro_add_launcher(${target}): VERSION and NODE_EXE need a value")
  endif()
  if(NOT L_OUTPUT_NAME)
    set(L_OUTPUT_NAME Lumaro)
  endif()
  if(NOT L_PACK_TOOL)
    set(L_PACK_TOOL ${LUMARO_PACK_TOOL})
  endif()
  if(NOT L_PACK_TOOL)
    message(FATAL_ERROR "lumaro_add_launcher(${target}): set LUMARO_PACK_TOOL to lmr-pack")
  endif()
  foreach(setting IN LISTS LUMARO_IDENTITY_SETTINGS)
    if(${setting} IN_LIST L_KEYWORDS_MISSING_VALUES)
      message(FATAL_ERROR "lumaro_add_launcher(${target}): ${setting} needs a value")
    endif()
  endforeach()

  # Every value passed on quoted, one argument each: a ";" in a name stays
  # in it. PACK_ARGS is a list already, its elements escaped by the parse.
  lumaro_add_payload(payload_sources NAME "${target}" APP_DIR "${L_APP_DIR}" PACK_TOOL "${L_PACK_TOOL}"
                     VERSION "${L_VERSION}" NODE_EXE "${L_NODE_EXE}" EXE_NAME "${L_OUTPUT_NAME}.exe"
                     PRODUCT_NAME "${L_PRODUCT_NAME}" COMPANY "${L_COMPANY}" DESCRIPTION "${L_DESCRIPTION}"
                     COPYRIGHT "${L_COPYRIGHT}" ICON "${L_ICON}" DATA_FOLDER "${L_DATA_FOLDER}"
                     WINDOW_TITLE "${L_WINDOW_TITLE}" MUTEX_NAME "${L_MUTEX_NAME}"
                     PACK_ARGS ${L_PACK_ARGS})
  set(objects)
  foreach(object IN LISTS LUMARO_LAUNCHER_LINK_OBJECTS)
    list(APPEND objects $<TARGET_OBJECTS:${object}>)
  endforeach()
  add_executable(${target} WIN32 ${payload_sources} ${objects})
  target_link_libraries(${target} PRIVATE ${LUMARO_LAUNCHER_LINK_LIBRARIES})
  target_link_options(${target} PRIVATE ${LUMARO_LAUNCHER_LINK_OPTIONS})
  # The payload sources are generated in the build folder; keep its path out.
  target_compile_options(${target} PRIVATE -ffile-prefix-map=${CMAKE_CURRENT_BINARY_DIR}=.)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${L_OUTPUT_NAME})

  # lmr.sign's options, said the same way as ./lumaro pack's; each value one
  # element of the command, ";" included (a PKCS#11 URI is full of them).
  set(sign_args)
  set(sign_inputs)
  set(signers 0)
  if(L_SIGN_PFX)
    get_filename_component(pfx "${L_SIGN_PFX}" ABSOLUTE)
    lumaro_command_argument(pfx_arg "${pfx}")
    list(APPEND sign_args --sign "${pfx_arg}")
    list(APPEND sign_inputs ${pfx})
    math(EXPR signers "${signers} + 1")
  endif()
  if(L_SIGN_PKCS11)
    if(NOT L_SIGN_CERT OR NOT L_SIGN_MODULE)
      message(FATAL_ERROR "lumaro_add_launcher(${target}): SIGN_PKCS11 needs SIGN_CERT and SIGN_MODULE")
    endif()
    get_filename_component(certs "${L_SIGN_CERT}" ABSOLUTE)
    get_filename_component(module "${L_SIGN_MODULE}" ABSOLUTE)
    lumaro_command_argument(uri_arg "${L_SIGN_PKCS11}")
    lumaro_command_argument(certs_arg "${certs}")
    lumaro_command_argument(module_arg "${module}")
    list(APPEND sign_args --sign-pkcs11 "${uri_arg}" --sign-cert "${certs_arg}" --sign-module "${module_arg}")
    list(APPEND sign_inputs ${certs})
    math(EXPR signers "${signers} + 1")
  elseif(L_SIGN_CERT OR L_SIGN_MODULE)
    message(FATAL_ERROR "lumaro_add_launcher(${target}): SIGN_CERT and SIGN_MODULE go with SIGN_PKCS11")
  endif()
  if(L_SIGN_COMMAND)
    lumaro_command_argument(command_arg "${L_SIGN_COMMAND}")
    list(APPEND sign_args --sign-command "${command_arg}")
    math(EXPR signers "${signers} + 1")
  endif()
  if(signers GREATER 1)
    message(FATAL_ERROR "lumaro_add_launcher(${target}): give one of SIGN_PFX, SIGN_PKCS11 and SIGN_COMMAND")
  endif()
  if(L_TIMESTAMP_URL AND signers EQUAL 0)
    message(FATAL_ERROR "lumaro_add_launcher(${target}): TIMESTAMP_URL goes with a SIGN_ setting")
  endif()
  if(signers EQUAL 1)
    find_program(LUMARO_OSSLSIGNCODE osslsigncode)
    if(NOT LUMARO_OSSLSIGNCODE)
      message(FATAL_ERROR "lumaro_add_launcher(${target}): signing needs osslsigncode")
    endif()
    if(L_TIMESTAMP_URL)
      lumaro_command_argument(url_arg "${L_TIMESTAMP_URL}")
      list(APPEND sign_args --timestamp-url "${url_arg}")
    endif()
    # Signed in place by lmr.sign, which reads the password from the
    # environment of the build, so it is never written into the build files.
    # A new key or certificate relinks.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tools
              /usr/bin/python3 -m lmr.sign ${sign_args} $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>
      COMMENT "Signing ${L_OUTPUT_NAME}.exe"
      VERBATIM)
    if(sign_inputs)
      set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${sign_inputs})
    endif()
  endif()
endfunction()
