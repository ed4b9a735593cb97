// The command bridge: the movie's ExternalInterface calls.
#include "host/CommandBridge.h"
#include "host/app/TesselDlg.h"

namespace host {

namespace {
constexpr const char* kUploadArgument[] = {
    "//invoke/arguments/array/property[@id=0]/string",
    "//invoke/arguments/array/property[@id=1]/string",
    "//invoke/arguments/array/property[@id=2]/string",
};
}  // namespace

void CTesselDlg::OnFlashCall(const std::string& request) {
  VeldXml::CXmlDocument doc;
  // A blank string argument is the pupil's value, not layout.
  doc.SetPreserveWhiteSpace(true);
  doc.LoadXml(request);
  VeldXml::CXmlNode root = doc.GetRoot();
  const std::string name = root.IsNull() ? std::string() : root.GetAttribute("name");
  audio::IWaveDevices& devices = m_audio.GetDevices();

  switch (ChooseCommand(name, request)) {
    case ECommand::RecUpload:
      RecUpload(doc);
      break;
    case ECommand::PlayLuYin:
      m_audio.Play();
      break;
    case ECommand::CloseWinExe:
      // The framework's OK road: the server is not stopped first.
      accept();
      break;
    case ECommand::LocalFileClear:
      DeleteTree(m_cacheDir);
      break;
    case ECommand::RecStart:
      RecStart();
      break;
    case ECommand::RecStop:
      m_audio.Stop();
      break;
    case ECommand::getWelcome:
    case ECommand::getClient:
      m_flash->SetReturnValue(kReplyClient);
      break;
    case ECommand::getOSVersion:
      m_flash->SetReturnValue("<string>" + GetOSName() + "</string>");
      break;
    case ECommand::getWinSize:
      SetWindowMode(g_windowedMode != 0);
      break;
    case ECommand::test_wave:
      m_flash->SetReturnValue(devices.GetNumOutDevs() > 0 ? kReplyYes : kReplyNo);
      break;
    case ECommand::run_recognize:
      m_flash->SetReturnValue(devices.GetNumInDevs() > 0 ? kReplyYes : kReplyNo);
      break;
    case ECommand::reco_word:
    case ECommand::play_file:
    case ECommand::None:
      break;
  }
  doc.Close();
}

void CTesselDlg::OnFSCommand(const std::string&, const std::string&) {}

void CTesselDlg::RecUpload(const VeldXml::CXmlDocument& request) {
  std::string value[3];
  bool present[3];
  for (int i = 0; i < 3; ++i) {
    VeldXml::CXmlNode node = request.SelectSingleNode(kUploadArgument[i]);
    present[i] = !node.IsNull();
    if (present[i]) value[i] = node.GetInnerXml();
  }
  g_uploadParam.strUid = value[0];
  g_uploadParam.strTid = value[1];
  g_uploadParam.strEnglish = present[2] ? value[2] : "0";
  g_uploadParam.hWnd = GetSafeHwnd();
  // Each upload runs with its own copy, so a second RecUpload never shares
  // state with one still running.
  StartUpload(g_uploadParam, m_outbox);
}

void CTesselDlg::RecStart() {
  if (!m_audio.StartRecording(m_nChannelMode)) return;
  OpenRecordingFiles("wav");
  OpenRecordingFiles("mp3");
}

bool CTesselDlg::OpenRecordingFiles(const std::string& ext) {
  if (m_audio.GetState() != audio::CAudioPlayRec::kStateRecording) return false;
  if (m_nChannelMode == 2) {
    if (!m_audio.OpenOutputFile(0, "test_left." + ext)) return false;
    return m_audio.OpenOutputFile(1, "test_right." + ext);
  }
  return m_audio.OpenOutputFile(0, "test." + ext);
}

}  // namespace host
