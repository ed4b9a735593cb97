// What the wrapper costs on the UI thread: one movie call, and the
// reconciliation of a manifest at start-up.
#include <benchmark/benchmark.h>

#include <string>

#include "host/VersionEntries.h"
#include "support/Xml.h"

using namespace VeldXml;

namespace {

const std::string kInvoke =
    "<invoke name=\"RecUpload\" returntype=\"xml\"><arguments><array>"
    "<property id=\"0\"><string>u1</string></property>"
    "<property id=\"1\"><string>t1</string></property>"
    "<property id=\"2\"><string>1</string></property>"
    "</array></arguments></invoke>";

void RecUploadRequest(benchmark::State& state) {
  for (auto _ : state) {
    CXmlDocument request;
    request.LoadXml(kInvoke);
    std::string name = request.GetRoot()->GetAttribute("name");
    std::string uid = request.SelectSingleNode("//invoke/arguments/array/property[@id=0]/string")->GetInnerXml();
    std::string tid = request.SelectSingleNode("//invoke/arguments/array/property[@id=1]/string")->GetInnerXml();
    std::string english = request.SelectSingleNode("//invoke/arguments/array/property[@id=2]/string")->GetInnerXml();
    benchmark::DoNotOptimize(name.size() + uid.size() + tid.size() + english.size());
  }
}
BENCHMARK(RecUploadRequest);

// A manifest of n modules and a version document that already lists them
// all with other versions, as after an update of every module.
std::string Modules(const char* pszRoot, int n, const char* pszVersion) {
  std::string xml = std::string("<") + pszRoot + ">";
  for (int i = 0; i < n; ++i) xml += "<m" + std::to_string(i) + ">" + pszVersion + "</m" + std::to_string(i) + ">";
  return xml + "</" + pszRoot + ">";
}

// The start-up reconciliation's lookups: each manifest module found in the
// version document and its version set, with one search per module
// ("//root/<name>") or with the entries gathered once.
template <bool bOnePass>
void ReconcileChangedModules(benchmark::State& state) {
  const std::string manifest = "<config>" + Modules("DelMod", static_cast<int>(state.range(0)), "v2") + "</config>";
  const std::string versionFile = Modules("root", static_cast<int>(state.range(0)), "v1");
  for (auto _ : state) {
    CXmlDocument doc;
    doc.LoadXml(manifest);
    CXmlDocument version;
    version.LoadXml(versionFile);
    CXmlNodes modules;
    modules = doc.SelectSingleNode("//config/DelMod")->GetChildren();
    host::CVersionEntries entries(version);
    for (int i = 0; i < modules.GetCount(); ++i) {
      CXmlNode module = modules.GetItem(i);
      CXmlNode entry =
          bOnePass ? entries.Find(module.GetName()) : version.SelectSingleNode("//root/" + module.GetName());
      if (entry.GetText() != module.GetText()) entry.SetText(module.GetText());
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ReconcileChangedModules<false>)->Arg(200)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(ReconcileChangedModules<true>)->Arg(200)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
