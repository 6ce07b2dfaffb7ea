// The identity's command-line options, kept apart so that only lmr-pack's
// own build pays for CLI11; see app_identity.h.
#include <CLI/CLI.hpp>

#include "tools/pack/app_identity.h"

namespace lumaro::pack {

void DefineIdentityOptions(CLI::App& app, IdentityOptions& options, const std::string& outputs_group) {
  const std::string group = "Identity (each default: package.json's, else Lumaro's own)";
  auto text = [&](const std::string& name, std::optional<std::string>& into, const std::string& type,
                  const std::string& about, const std::string& in_group) {
    app.add_option_function<std::string>(name, [&into](const std::string& value) { into = value; }, about)
        ->type_name(type)
        ->group(in_group);
  };
  IdentitySettings& s = options.settings;
  text("--product-name", s.product_name, "NAME",
       "the product's name, in the file's properties and the error dialog's caption (package.json \"productName\"; "
       "default Lumaro)", group);
  text("--company", s.company, "NAME",
       "CompanyName (\"lumaro\": {\"company\"}, else \"author\"; default: the product name)", group);
  text("--description", s.description, "TEXT",
       "FileDescription, what Task Manager shows (\"description\"; default: the product name)", group);
  text("--copyright", s.copyright, "TEXT", "LegalCopyright (\"lumaro\": {\"copyright\"}; default none)", group);
  text("--icon", s.icon, "FILE.ico",
       "the exe's icon (\"lumaro\": {\"icon\"}, a file of APP_DIR; default Lumaro's)", group);
  text("--data-folder", s.data_folder, "NAME",
       "the folder under %LOCALAPPDATA% the app installs into, at most 64 characters (\"lumaro\": {\"dataFolder\"}; "
       "default: the product name)", group);
  text("--window-title", s.window_title, "TEXT",
       "the title of the app's window, which a second launch brings to the front (\"lumaro\": {\"windowTitle\"}; "
       "default: the product name, \"Lumaro · Máy nhà\" for Lumaro)", group);
  text("--mutex-name", s.mutex_name, "NAME",
       "the single-instance guard, \"Local\\\" and a name without \"\\\" (\"lumaro\": {\"mutexName\"}; "
       "default \"Local\\\" + data folder + \".Desktop\", \"Local\\Lumaro.Desktop.2026\" for Lumaro's folder)", group);
  text("--exe-name", options.exe_name, "NAME",
       "the output file's name, for InternalName and OriginalFilename (default: the product name and \".exe\")", group);
  text("--icon-out", options.icon_out, "FILE", "the icon the exe carries, for the link", outputs_group);
}

}  // namespace lumaro::pack
