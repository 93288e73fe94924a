# Writes a C++ source holding the web assets as byte arrays, so the program carries them without
# reading any file at run time. The guide page gets the configured public app site.
#
#   cmake -DASSETS_DIR=... -DOUTPUT=... -DAPP_SITE=... -P embed_assets.cmake

set(default_site "https://tovel-app.invalid")

function(append_array out name path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Keep lines short for the compiler's sake.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){24})" "\\1\n" bytes "${bytes}")
  set(text "alignas(8) const unsigned char ${name}[${size}] = {\n${bytes}\n};\n")
  set(${out} "${${out}}${text}" PARENT_SCOPE)
endfunction()

file(READ "${ASSETS_DIR}/guide.html" guide)
string(REPLACE "${default_site}" "${APP_SITE}" guide "${guide}")
get_filename_component(output_dir "${OUTPUT}" DIRECTORY)
set(guide_path "${output_dir}/guide.html")
file(WRITE "${guide_path}.tmp" "${guide}")
file(RENAME "${guide_path}.tmp" "${guide_path}")

set(source "// Generated from src/server/assets by cmake/embed_assets.cmake. Do not edit.\n")
string(APPEND source "#include \"server/embedded_assets.h\"\n\nnamespace tovel {\nnamespace {\n\n")
append_array(source manifestBytes "${ASSETS_DIR}/manifest.json")
append_array(source serviceWorkerBytes "${ASSETS_DIR}/service-worker.js")
append_array(source guideBytes "${guide_path}")
append_array(source iconBytes "${ASSETS_DIR}/icon-192.png")
string(APPEND source "
std::string_view view(const unsigned char* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

} // namespace

std::string_view embeddedManifest() { return view(manifestBytes, sizeof manifestBytes); }
std::string_view embeddedServiceWorker() {
  return view(serviceWorkerBytes, sizeof serviceWorkerBytes);
}
std::string_view embeddedGuidePage() { return view(guideBytes, sizeof guideBytes); }
std::string_view embeddedIconPng() { return view(iconBytes, sizeof iconBytes); }

} // namespace tovel
")
file(WRITE "${OUTPUT}.tmp" "${source}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
