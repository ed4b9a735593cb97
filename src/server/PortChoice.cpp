#include "server/PortChoice.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace {

const std::vector<std::string> kSystemTables = {"/proc/net/tcp", "/proc/net/tcp6"};

bool ReadWhole(const std::string& strPath, std::string& strText) {
  std::ifstream in(strPath, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  strText = text.str();
  return !in.bad();
}

// A row reads "sl: local rem st ...", the local address as
// "0100007F:1FA2" (address, then the port in hexadecimal).
bool ParseLocalPort(const std::string& strRow, std::uint16_t& nPort) {
  std::istringstream fields(strRow);
  std::string strSlot, strLocal;
  if (!(fields >> strSlot >> strLocal) || strSlot.empty() || strSlot.back() != ':') return false;
  size_t nColon = strLocal.rfind(':');
  if (nColon == std::string::npos) return false;
  const char* pBegin = strLocal.data() + nColon + 1;
  const char* pEnd = strLocal.data() + strLocal.size();
  auto [pStop, ec] = std::from_chars(pBegin, pEnd, nPort, 16);
  return ec == std::errc() && pStop == pEnd && pBegin != pEnd;
}

}  // namespace

CTcpTable CTcpTable::ReadSystem() { return Read(kSystemTables); }

CTcpTable CTcpTable::Read(const std::vector<std::string>& tableFiles) {
  CTcpTable table;
  for (const std::string& strFile : tableFiles) {
    std::string strText;
    if (ReadWhole(strFile, strText)) table.AddRows(strText);
  }
  return table;
}

void CTcpTable::AddRows(const std::string& strTable) {
  std::istringstream lines(strTable);
  std::string strRow;
  std::getline(lines, strRow);  // column titles
  while (std::getline(lines, strRow)) {
    std::uint16_t nPort = 0;
    if (ParseLocalPort(strRow, nPort)) m_localPorts.push_back(nPort);
  }
}

bool CTcpTable::HasLocalPort(int nPort) const {
  return std::find(m_localPorts.begin(), m_localPorts.end(), nPort) != m_localPorts.end();
}

bool IsPortInUse(int nPort) { return CTcpTable::ReadSystem().HasLocalPort(nPort); }

int ChooseFreePort(int nFirstPort) {
  int nPort = nFirstPort;
  while (IsPortInUse(nPort)) ++nPort;
  return nPort;
}
