#pragma once
// Choosing the server's port: the first one from the requested port upward
// that no TCP socket of the machine uses.
#include <cstdint>
#include <string>
#include <vector>

// The local ports of the machine's TCP sockets as the kernel lists them,
// rows of every state and local address.
class CTcpTable {
 public:
  // The IPv4 and the IPv6 table; IPv6 listeners take IPv4 ports as well here.
  static CTcpTable ReadSystem();
  // Reads each table whole, however many rows it has; a table that cannot be
  // read adds no rows.
  static CTcpTable Read(const std::vector<std::string>& tableFiles);

  bool HasLocalPort(int nPort) const;
  size_t GetRowCount() const { return m_localPorts.size(); }

 private:
  void AddRows(const std::string& strTable);

  std::vector<std::uint16_t> m_localPorts;
};

// True when some TCP socket of the machine has nPort as its local port.
bool IsPortInUse(int nPort);

// nFirstPort, or the first port above it that IsPortInUse calls free; no
// upper bound, no wrap-around.
int ChooseFreePort(int nFirstPort);
