// SPDX-License-Identifier: MIT
// position HOST PORT, or position DEVICE for a serial line: reads the
// position in holding registers 1 and 2 of unit 1 of a Modbus device with
// libmodbus, and prints it as hwstep does.  Built against the installed
// library, with Debian's libmodbus-dev:
//   c++ position.cpp $(pkg-config --cflags --libs hw_decode libmodbus)
#include <hw_decode.hpp>
#include <modbus.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
	if (argc != 2 && argc != 3) {
		std::fprintf(stderr, "usage: %s host port | device\n", argv[0]);
		return 2;
	}
	modbus_t *ctx = nullptr;
	if (argc == 2) {
		ctx = modbus_new_rtu(argv[1], 19200, 'E', 8, 1);
	} else {
		// Checked before anything is connected, and passed on as the
		// number checked: libmodbus would read port 70000 as 4464, and
		// take a host that it cannot find for one refusing.
		const char *host = argv[1], *digits = argv[2];
		const long n = std::strtol(digits, nullptr, 10);
		char port[6];
		addrinfo *ai = nullptr;
		if (digits[std::strspn(digits, "0123456789")] != '\0' ||
		    n < 1 || n > 65535) {
			std::fprintf(stderr,
			             "%s: port '%s': not a number from 1 "
			             "to 65535\n",
			             argv[0], digits);
			return 1;
		}
		std::snprintf(port, sizeof port, "%ld", n);
		if (const int rc = getaddrinfo(host, port, nullptr, &ai)) {
			std::fprintf(stderr, "%s: host '%s': %s\n", argv[0],
			             host, gai_strerror(rc));
			return 1;
		}
		freeaddrinfo(ai);
		ctx = modbus_new_tcp_pi(host, port);
	}
	// A serial line may hold an answer too late for an earlier reader.
	uint16_t w[2];
	const bool ok = ctx != nullptr && modbus_set_slave(ctx, 1) == 0 &&
	                modbus_connect(ctx) == 0 && modbus_flush(ctx) != -1 &&
	                modbus_read_registers(ctx, 0, 2, w) == 2;
	if (ok)
		std::printf("0x%04x, 0x%04x => %f\n", w[0], w[1],
		            stepper_value_from_hw(w[0], w[1]));
	else // a connection that timed out leaves connect's EINPROGRESS
		std::fprintf(stderr, "%s: %s\n", argv[0],
		             modbus_strerror(errno == EINPROGRESS ? ETIMEDOUT
		                                                  : errno));
	if (ctx != nullptr) {
		modbus_close(ctx);
		modbus_free(ctx);
	}
	return ok ? 0 : 1;
}
