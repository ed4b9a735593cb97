// What the wrapper costs on the UI thread: one movie call, and the walk
// over a manifest at start-up.
#include <benchmark/benchmark.h>

#include <string>

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

// A manifest of state.range(0) modules, read and mirrored into a version
// document as the start-up reconciliation does.
void ManifestReconcile(benchmark::State& state) {
  std::string manifest = "<config><DelMod>";
  for (int i = 0; i < state.range(0); ++i) {
    manifest += "<m" + std::to_string(i) + ">v" + std::to_string(i) + "</m" + std::to_string(i) + ">";
  }
  manifest += "</DelMod></config>";
  for (auto _ : state) {
    CXmlDocument doc;
    doc.LoadXml(manifest);
    CXmlDocument version;
    version.LoadXml("<?xml version=\"1.0\"?><root></root>");
    CXmlNodes modules;
    modules = doc.SelectSingleNode("//config/DelMod")->GetChildren();
    for (int i = 0; i < modules.GetCount(); ++i) {
      CXmlNode module = modules.GetItem(i);
      CXmlNode entry = version.SelectSingleNode("//root/" + module.GetName());
      if (entry.IsNull()) version.GetRoot()->NewChild(module.GetName())->SetText(module.GetText());
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ManifestReconcile)->Arg(10)->Arg(200);

}  // namespace
