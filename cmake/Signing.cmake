# Build-time code signing.
#
# dravik_sign(<target> IDENTIFIER <id> [TEAM <team>])
#   After <target> is linked, signs its output (writes <output>.sig beside it) under <id>
#   with a certificate for <team> (default Q7TX2KM9RZ) issued by the development anchor.
#   The anchor and one certificate per team are made on first use inside the build tree,
#   in ${DRAVIK_DEV_IDENTITY_DIR}; they are never committed and never leave it.
#
# ${DRAVIK_DEV_ANCHOR_PUBLIC_KEY} is the development anchor's public key; install it into a
# machine root with `dravik-codesign install-anchor --anchor ${DRAVIK_DEV_IDENTITY_DIR}/anchor
# --root <root>` so that programs signed by the build are trusted there.

set(DRAVIK_DEV_IDENTITY_DIR ${CMAKE_BINARY_DIR}/dev-identity)
set(DRAVIK_DEV_ANCHOR_PUBLIC_KEY ${DRAVIK_DEV_IDENTITY_DIR}/anchor/anchor.pub)
set(DRAVIK_DEFAULT_TEAM Q7TX2KM9RZ)

function(dravik_sign target)
  cmake_parse_arguments(S "" "IDENTIFIER;TEAM" "" ${ARGN})
  if(NOT S_IDENTIFIER)
    message(FATAL_ERROR "dravik_sign(${target}): IDENTIFIER is required")
  endif()
  if(S_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "dravik_sign(${target}): unexpected arguments ${S_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT S_TEAM)
    set(S_TEAM ${DRAVIK_DEFAULT_TEAM})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND $<TARGET_FILE:dravik-codesign> dev-identity
            --dir ${DRAVIK_DEV_IDENTITY_DIR} --team ${S_TEAM}
    COMMAND $<TARGET_FILE:dravik-codesign> sign
            --cert ${DRAVIK_DEV_IDENTITY_DIR}/team-${S_TEAM}
            --identifier ${S_IDENTIFIER} $<TARGET_FILE:${target}>
    COMMENT "Signing ${target} as ${S_IDENTIFIER} (team ${S_TEAM})"
    VERBATIM)
  add_dependencies(${target} dravik-codesign)
endfunction()
