#include "host/movie/MoviePage.h"

#include <QDesktopServices>
#include <QHostAddress>
#include <QWebEngineNewWindowRequest>
#include <QWebEngineSettings>

namespace host {

namespace {

bool IsLoopbackHost(const QString& host) {
  return host.compare("localhost", Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
}

}  // namespace

CMoviePage::CMoviePage(QWebEngineProfile* profile) : QWebEnginePage(profile) {
  // Mail addresses come to acceptNavigationRequest too, with a click or without.
  settings()->setUnknownUrlSchemePolicy(QWebEngineSettings::AllowAllUnknownUrlSchemes);
  // No window is ever opened: the request stays unanswered.
  connect(this, &QWebEnginePage::newWindowRequested, this,
          [this](QWebEngineNewWindowRequest& request) { OpenOnDesktop(request.requestedUrl()); });
}

void CMoviePage::LoadHostPage(const QUrl& page) {
  m_hostPage = page;
  load(page);
}

bool CMoviePage::acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) {
  if (!isMainFrame || url.adjusted(QUrl::RemoveFragment) == m_hostPage.adjusted(QUrl::RemoveFragment)) return true;
  OpenOnDesktop(url);
  return false;
}

void CMoviePage::OpenOnDesktop(const QUrl& url) const {
  const QString scheme = url.scheme().toLower();
  if (scheme == "mailto") {
    QDesktopServices::openUrl(url);
    return;
  }
  if (scheme != "http" && scheme != "https") return;
  // The program's own server is no page for a browser.
  if (IsLoopbackHost(url.host()) && url.port(scheme == "https" ? 443 : 80) == m_hostPage.port()) return;
  QDesktopServices::openUrl(url);
}

}  // namespace host
