#pragma once
// A small blocking HTTP/1.1 client on a plain TCP socket, exported from
// libtessel_httpsocket for other modules. Its member functions, their
// signatures and the object layout are the library's interface: change
// none of them without raising the library's SONAME.
//
// Every socket failure is shown in a message box captioned "错误".
// One object belongs to one thread at a time; so do its copies, which share
// its socket.

#define HTTPSOCKET_API __attribute__((visibility("default")))

struct hostent;

class HTTPSOCKET_API CHttpSocket {
 public:
  CHttpSocket();
  // Copies share the socket: closing either closes it for both, and it is
  // closed once, however many copies close or go.
  CHttpSocket(const CHttpSocket& other);
  virtual ~CHttpSocket();
  CHttpSocket& operator=(const CHttpSocket& other);

  int Socket();
  int Connect(char* szHostName, int nPort);
  // Builds a GET request header into the object's 1024-byte buffer and
  // writes its length. Input that would not fit gives an empty request
  // and length 0.
  const char* FormatRequestHeader(char* pServer, char* pObject, long& Length, char* pCookie, char* pReferer, long nFrom,
                                  long nTo, int nServerType);
  // Sends the header (the formatted one when null) and reads the response
  // header; length 0 means the formatted header's length.
  int SendRequest(const char* pRequestHeader, long Length);
  long Receive(char* pBuffer, long nMaxLength);
  int CloseSocket();
  int GetRequestHeader(char* pHeader, int nMaxLength) const;
  int SetTimeout(int nTime, int nType);
  // The first response header this object received; read from the socket
  // byte by byte on the first call, so the body stays for Receive.
  const char* GetResponseHeader(int& Length);
  // The next header line with its CR LF and no terminating zero; -1 after
  // the last line, then again from the first.
  int GetResponseLine(char* pLine, int nMaxLength);
  // Copies the value after "name: " up to the line's end, zero-terminated,
  // writing at most nMaxLength bytes; the copied length, -1 when absent
  // (or when the buffer has no room even for the zero).
  int GetField(const char* szFieldName, char* szValue, int nMaxLength);
  int GetServerState();

 private:
  char m_szRequest[1024];
  char m_szResponse[1024];
  int m_nServerPort;
  char m_szIp[256];
  int m_bIsConnected;
  // The socket, shared with copies and counted; null means none. It takes
  // the place the descriptor number and its padding had, so the object's
  // size and the offsets of the fields around it stay as they were.
  struct CSharedSocket;
  CSharedSocket* m_hSocket;
  hostent* m_pHostEntry;
  int m_nLinePos;
  int m_bHeaderRead;
  int m_nHeaderLength;
};

static_assert(sizeof(void*) != 8 || sizeof(CHttpSocket) == 2352, "CHttpSocket's layout is part of the interface");
static_assert(alignof(CHttpSocket) == alignof(void*), "CHttpSocket's layout is part of the interface");
