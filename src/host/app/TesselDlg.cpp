#include "host/app/TesselDlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

#include "audio/VolumeIn.h"
#include "host/CommandBridge.h"
#include "host/DeleteTree.h"
#include "platform/MessageBox.h"

// The icon is compiled into this library; a static library's resources are
// registered by hand.
static void InitIconResource() { Q_INIT_RESOURCE(quillby); }

namespace host {

int g_windowedMode = 0;
std::string g_exeDir;
UploadParam g_uploadParam;

namespace {

constexpr const char* kProductName = "趣比数学";
constexpr const char* kCompanyName = "趣比教育";
constexpr const char* kWebSite = "www.quillby.cn";
constexpr const char* kLoadingText = "载入资源中,请稍后";
constexpr const char* kAudioInitFailed = "录音设备初始化失败,部分功能无法使用!";
constexpr const char* kIconResource = ":/quillby.png";

// The large image and small ones drawn from it, for title bars and task lists.
QIcon LoadIcon() {
  InitIconResource();
  const QPixmap large(kIconResource);
  QIcon icon(large);
  for (int size : {16, 32}) icon.addPixmap(large.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  return icon;
}

QString Caption() { return QString("%1 1.2 - %2").arg(kProductName, kWebSite); }

}  // namespace

CTesselDlg::CTesselDlg(const FlashFactory& makeFlash, audio::IWaveDevices& devices, QWidget* parent)
    : QDialog(parent),
      m_hIcon(LoadIcon()),
      m_audio(devices),
      m_progress(new QProgressBar(this)),
      m_loadingText(new QLabel(QString::fromUtf8(kLoadingText), this)) {
  // Made once the server exists: the control registers its page on it.
  m_flash = makeFlash(this, m_server);
  setWindowTitle(Caption());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  // The template's small size until the first sizing.
  resize(342, 216);
  m_loadingText->setAlignment(Qt::AlignCenter);
  m_loadingText->setGeometry(69, 88, 204, 26);
  m_progress->setGeometry(31, 154, 273, 22);
  m_flash->SetEventSink(this);
  auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(about, &QShortcut::activated, this, [this] { ShowAbout(); });
}

CTesselDlg::~CTesselDlg() {
  if (m_outbox) m_outbox->Stop();
  m_flash->SetEventSink(nullptr);
  DestroyTarget();
}

int CTesselDlg::DoModal() {
  OnInitDialog();
  const int result = exec();
  // Whichever road closed the window, no upload goes on once it has gone;
  // what is under way stays in the outbox for the next start.
  if (m_outbox) m_outbox->Stop();
  // However the window ended (CloseWinExe ends it with the server still
  // running), the movie's unsaved data reaches the program first.
  m_flash->Close();
  return result;
}

bool CTesselDlg::OnInitDialog() {
  CreateTarget();
  setWindowIcon(m_hIcon);
  m_progress->hide();
  platform::SetTimer(GetSafeHwnd(), kStartupTimerId, kStartupTimerPeriod);
  if (!m_audio.Initialize(audio::FindRecordingDevice(), GetSafeHwnd(), this)) platform::MessageBox(kAudioInitFailed);
  return true;
}

void CTesselDlg::OnTimer(platform::UINT_PTR nIDEvent) {
  if (nIDEvent != kStartupTimerId) return;
  // Killed first, so a start-up longer than one period is not entered twice.
  platform::KillTimer(GetSafeHwnd(), kStartupTimerId);
  RunStartup();
  SetWindowMode(g_windowedMode != 0);
}

void CTesselDlg::MoveMovie(const QRect& rect) { m_flash->MoveWindow(rect.x(), rect.y(), rect.width(), rect.height()); }

void CTesselDlg::SetWindowMode(bool fullScreen) {
  // The frame goes through the window state, never through the window
  // flags: changing a flag hides a shown window, and hiding a dialog ends
  // its modal loop, which ends the program.
  QRect screenRect = (screen() ? screen() : QGuiApplication::primaryScreen())->geometry();
  if (fullScreen) {
    g_windowedMode = 0;
    setGeometry(screenRect);
    // Last: placing a window takes it out of full screen.
    setWindowState(windowState() | Qt::WindowFullScreen);
    MoveMovie(QRect(0, 0, screenRect.width(), screenRect.height()));
  } else {
    g_windowedMode = 1;
    setWindowState(windowState() & ~Qt::WindowFullScreen);
    // The movie fills the client area; the window manager's frame goes
    // around it, and the whole 976 x 632 box is centred.
    resize(kMovieWidth, kMovieHeight);
    move(screenRect.x() + (screenRect.width() - kWindowWidth) / 2,
         screenRect.y() + (screenRect.height() - kWindowHeight) / 2);
    MoveMovie(QRect(0, 0, kMovieWidth, kMovieHeight));
  }
}

void CTesselDlg::keyPressEvent(QKeyEvent* event) {
  // Neither Escape nor Enter closes the window; keys typed into the movie
  // reach it first because it has the focus.
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void CTesselDlg::closeEvent(QCloseEvent* event) {
  m_flash->Close();
  m_server.Stop();
  QDialog::closeEvent(event);
}

void CTesselDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(QString("关于 %1(&A)...").arg(kProductName), this, [this] { ShowAbout(); });
  menu.exec(event->globalPos());
}

void CTesselDlg::ShowAbout() {
  QDialog about(this);
  about.setWindowTitle(QString("关于 %1").arg(kCompanyName));
  auto* layout = new QVBoxLayout(&about);
  for (const QString& line :
       {QString("%1 客户端 1.2").arg(kProductName), QString("版权所有 (C) 2012 %1").arg(kCompanyName),
        QString("网址: %1").arg(kWebSite), QString("客服电话: 400-800-1234"), QString("客服QQ: 800012345")})
    layout->addWidget(new QLabel(line, &about));
  about.exec();
}

void CTesselDlg::OnMessage(platform::UINT message, platform::WPARAM wParam, platform::LPARAM lParam) {
  if (message == WM_UPLOAD_DONE) OnUploadDone(wParam, lParam);
}

long CTesselDlg::OnUploadDone(platform::WPARAM wParam, platform::LPARAM) {
  if (wParam == 1) NotifyMovie("UPOK", "");
  return 0;
}

void CTesselDlg::NotifyMovie(const std::string& name, const std::string& argument) {
  m_flash->CallFunction(FormatNotification(name, argument));
}

bool CTesselDlg::DeleteTree(const std::string& dir) { return host::DeleteTree(dir); }

}  // namespace host
