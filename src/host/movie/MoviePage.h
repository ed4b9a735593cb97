#pragma once
// The web page the movie plays in. It shows the program's host page and
// nothing else: an address the movie opens (getURL, navigateToURL, in any
// window) goes to the desktop's browser or mail program when it is a web or
// mail address, and nowhere otherwise.
#include <QUrl>
#include <QWebEnginePage>

namespace host {

class CMoviePage : public QWebEnginePage {
 public:
  explicit CMoviePage(QWebEngineProfile* profile);

  // The host page the program is about to load; its address is the program's own.
  void LoadHostPage(const QUrl& page);

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

 private:
  void OpenOnDesktop(const QUrl& url) const;

  QUrl m_hostPage;
};

}  // namespace host
