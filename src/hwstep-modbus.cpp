// SPDX-License-Identifier: MIT
// hwstep-modbus: reads pairs of registers from a Modbus device, over TCP or
// on a serial line, once, a number of times, or as a watch at a steady
// pace, and prints for each pair the line that hwstep prints for its two
// words.  libmodbus frames the requests and checks the answers; what it
// leaves to its callers is here: the connect and its reasons, the serial
// line's lock and the answers too late for their own request, and the
// connection that a device dropped while it was idle.
// C library headers and libmodbus only.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <modbus.h>

#include "hw_decode.hpp"
#include "line.hpp"
#include "quote.hpp"

static const char *progname;
static const char *place; // the host or the serial line, as given
static bool serial;       // a serial line: the place holds a '/'

// The options, as checked.
static bool from_zero; // -0: references count from 0
static bool rs485;     // -R
static bool swapped;   // -s: the low word comes first
static bool stamped;   // -T
static long unit = 1;
static long reference = 1;
static long table = 4;
static long pairs = 1;
static long long readings; // 0: until a signal ends the run
static long long interval_ms;
static long timeout_us = 1000000;
static const char *port = "502";
static long baud = 19200;
static char parity = 'E';
static long stop_bits = 1;

static modbus_t *ctx;
static bool connected;
static bool used;  // the connection served an earlier reading
static bool dirty; // an answer to a failed request may still come in

// What the reading failed by, for its message.
static char reason[256];

static const char usage_text[] =
	"usage: %s [-0RsT] [-a unit] [-r reference] [-t 3|4] [-c pairs] "
	"[-n readings] [-o seconds] [-l milliseconds] [-p port] [-b baud] "
	"[-P parity] [-S bits] host | device\n";

[[noreturn]] static void usage()
{
	fprintf(stderr, usage_text, progname);
	exit(1);
}

[[noreturn]] static void bad_value(int c, const char *text, const char *what)
{
	fprintf(stderr, "%s: -%c ", progname, c);
	put_quoted_short(text, strlen(text), stderr);
	fprintf(stderr, ": %s\n", what);
	exit(1);
}

// Reads the option c's value text, digits alone, as a number from lo to
// hi, or reports that it is not what.
static long long number(int c, const char *text, long long lo, long long hi,
                        const char *what)
{
	char *ep = nullptr;

	errno = 0;
	const long long v = strtoll(text, &ep, 10);
	if (text[0] < '0' || text[0] > '9' || *ep != '\0' || errno != 0 ||
	    v < lo || v > hi)
		bad_value(c, text, what);
	return v;
}

// Reads -o's value, seconds with decimals, into microseconds.
static long seconds(const char *text)
{
	const char *what = "not a number of seconds from 0.001 to 60";
	const size_t whole = strspn(text, "0123456789");
	const char *fraction = text + whole;

	if (*fraction == '.')
		fraction++;
	const size_t decimals = strspn(fraction, "0123456789");
	const size_t zeros = strspn(text, "0");
	if (whole + decimals == 0 || fraction[decimals] != '\0' ||
	    whole > zeros + 2)
		bad_value('o', text, what);
	// Microseconds, and whether anything finer follows them.
	long us = 0;
	for (size_t i = zeros < whole ? zeros : whole; i < whole; i++)
		us = us * 10 + (text[i] - '0');
	us *= 1000000;
	for (size_t i = 0, scale = 100000; i < decimals && i < 6;
	     i++, scale /= 10)
		us += static_cast<long>(scale) * (fraction[i] - '0');
	const bool finer =
		decimals > 6 && fraction[6 + strspn(fraction + 6, "0")] != '\0';
	if (us < 1000 || us > 60000000 || (us == 60000000 && finer))
		bad_value('o', text, what);
	return us;
}

// The rates that libmodbus sets a serial line to; it takes any other for
// 9600 without a word.
static const long rates[] = {
	110,     300,     600,     1200,    2400,    4800,    9600,   19200,
	38400,   57600,   115200,  230400,  460800,  500000,  576000, 921600,
	1000000, 1152000, 1500000, 2500000, 3000000, 3500000, 4000000};

// The values of the options, as given, by their letters.
static const char *texts[128];

static const char *given(int c)
{
	return texts[c];
}

// Checks the values of the options that say what to read, saying what is
// allowed of the first that is wrong.
static void check_request_options()
{
	if (given('a') != nullptr) {
		const char *what =
			serial ? "not a unit from 1 to 247 on a serial line"
			       : "not a unit from 0 to 247, or 255";
		unit = static_cast<long>(
			number('a', given('a'), serial ? 1 : 0, 255, what));
		if (unit > 247 && (serial || unit < 255))
			bad_value('a', given('a'), what);
	}
	if (given('t') != nullptr)
		table = static_cast<long>(
			number('t', given('t'), 3, 4,
		               "not a table: 3 (input registers) or 4 (holding "
		               "registers)"));
	if (given('c') != nullptr)
		pairs = static_cast<long>(number('c', given('c'), 1, 62,
		                                 "not a number of pairs from 1 "
		                                 "to 62"));
	if (given('r') != nullptr) {
		char what[96];
		const long first = from_zero ? 0 : 1;
		const long last = first + 65536 - 2 * pairs;
		snprintf(what, sizeof what,
		         "not a reference from %ld to %ld, the first of %ld "
		         "registers",
		         first, last, 2 * pairs);
		reference = static_cast<long>(
			number('r', given('r'), first, last, what));
	} else if (from_zero) {
		reference = 0;
	}
	if (given('n') != nullptr)
		readings = number('n', given('n'), 1, INT64_MAX,
		                  "not a number of readings, 1 or more");
	else if (given('l') == nullptr)
		readings = 1;
	if (given('o') != nullptr)
		timeout_us = seconds(given('o'));
	if (given('l') != nullptr)
		interval_ms = number('l', given('l'), 1, INT32_MAX,
		                     "not a number of milliseconds from 1 to "
		                     "2147483647");
}

// Checks the values of the options that say where the device is, and how
// to reach it.
static void check_device_options()
{
	if (given('p') != nullptr) {
		// The number as read, leading zeros and all gone.
		static char digits[8];
		snprintf(digits, sizeof digits, "%lld",
		         number('p', given('p'), 1, 65535,
		                "not a port from 1 to 65535"));
		port = digits;
	}
	if (given('b') != nullptr) {
		char what[256] = "not a rate that libmodbus sets a line to:";
		for (const long r : rates)
			snprintf(what + strlen(what),
			         sizeof what - strlen(what), "%s %ld",
			         r == rates[0]  ? ""
			         : r == 4000000 ? " or"
			                        : ",",
			         r);
		baud = static_cast<long>(
			number('b', given('b'), 1, 4000000, what));
		bool known = false;
		for (const long r : rates)
			known = known || r == baud;
		if (!known)
			bad_value('b', given('b'), what);
	}
	if (given('P') != nullptr) {
		if (strcmp(given('P'), "none") == 0)
			parity = 'N';
		else if (strcmp(given('P'), "even") == 0)
			parity = 'E';
		else if (strcmp(given('P'), "odd") == 0)
			parity = 'O';
		else
			bad_value('P', given('P'),
			          "not a parity: none, even or odd");
	}
	if (given('S') != nullptr)
		stop_bits = static_cast<long>(
			number('S', given('S'), 1, 2,
		               "not a number of stop bits: 1 or 2"));
}

// A time on the monotonic clock, in nanoseconds.
static int64_t monotonic_ns()
{
	timespec t{};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * INT64_C(1000000000) + t.tv_nsec;
}

static void sleep_until(int64_t ns)
{
	const timespec t{static_cast<time_t>(ns / 1000000000),
	                 static_cast<long>(ns % 1000000000)};
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) ==
	       EINTR)
		;
}

// Writes the time t as -T shows it, "2026-12-11T10:41:10.123Z ", at p, and
// returns its end.
static char *stamp_from_time(char *p, const timespec &t)
{
	tm utc{};
	gmtime_r(&t.tv_sec, &utc);
	p += strftime(p, 21, "%Y-%m-%dT%H:%M:%S", &utc);
	return p + sprintf(p, ".%03ldZ ", t.tv_nsec / 1000000);
}

// Writes a message about the place, with the reading's time first under
// -T, in one write.
static void message(const timespec &when, const char *text)
{
	if (stamped) {
		char stamp[32];
		*stamp_from_time(stamp, when) = '\0';
		fputs(stamp, stderr);
	}
	fprintf(stderr, "%s: ", progname);
	put_quoted_short(place, strlen(place), stderr);
	fprintf(stderr, ": %s\n", text);
	fflush(stderr);
}

// Waits for the descriptor fd to be ready for the events asked, for ms
// milliseconds at the most; false with errno ETIMEDOUT where it was not.
static bool ready(int fd, short events, int ms)
{
	pollfd pfd{fd, events, 0};
	const int64_t end = monotonic_ns() + ms * INT64_C(1000000);
	int rc = 0;

	while ((rc = poll(&pfd, 1, ms)) < 0 && errno == EINTR)
		ms = static_cast<int>((end - monotonic_ns() + 999999) /
		                      1000000);
	if (rc == 0)
		errno = ETIMEDOUT;
	return rc > 0;
}

static double timeout_s()
{
	return static_cast<double>(timeout_us) / 1e6;
}

static int timeout_ms()
{
	return static_cast<int>((timeout_us + 999) / 1000);
}

// Connects to the host, trying each of its addresses in turn, each for -o
// at the most, and hands the socket to libmodbus.  libmodbus would do the
// same, but report a name not found, a host unreachable and a connect
// timed out all as a connection refused.
static bool connect_host()
{
	addrinfo hints{};
	addrinfo *found = nullptr;
	int fd = -1;

	hints.ai_socktype = SOCK_STREAM;
	if (const int rc = getaddrinfo(place, port, &hints, &found)) {
		snprintf(reason, sizeof reason, "%s",
		         rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
		return false;
	}
	int e = 0;
	for (const addrinfo *a = found; a != nullptr && fd < 0;
	     a = a->ai_next) {
		fd = socket(a->ai_family,
		            SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
		if (fd < 0) {
			e = errno;
			continue;
		}
		int so_error = 0;
		socklen_t len = sizeof so_error;
		if (connect(fd, a->ai_addr, a->ai_addrlen) == 0 ||
		    (errno == EINPROGRESS && ready(fd, POLLOUT, timeout_ms()) &&
		     getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) ==
		             0 &&
		     (errno = so_error) == 0))
			break;
		e = errno;
		close(fd);
		fd = -1;
	}
	freeaddrinfo(found);
	if (fd < 0) {
		snprintf(reason, sizeof reason, "%s", strerror(e));
		return false;
	}
	const int on = 1;
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
	modbus_set_socket(ctx, fd);
	return true;
}

static void disconnect()
{
	if (connected)
		modbus_close(ctx);
	connected = false;
}

// Opens the serial line and locks it, so that no two readers take each
// other's answers, and puts it in RS-485 mode where -R asks.
static bool open_line()
{
	if (modbus_connect(ctx) != 0) {
		snprintf(reason, sizeof reason, "%s", strerror(errno));
		return false;
	}
	const int fd = modbus_get_socket(ctx);
	if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		snprintf(reason, sizeof reason, "%s",
		         errno == EWOULDBLOCK ? "in use" : strerror(errno));
		modbus_close(ctx);
		return false;
	}
	if (rs485 && modbus_rtu_set_serial_mode(ctx, MODBUS_RTU_RS485) != 0) {
		snprintf(reason, sizeof reason, "RS-485 mode: %s",
		         strerror(errno));
		modbus_close(ctx);
		return false;
	}
	return true;
}

// Discards what comes in on the serial line until it has been quiet for -o;
// false where it is not quiet that long within ten times -o.
static bool drain_line()
{
	const int fd = modbus_get_socket(ctx);
	const int64_t quiet = timeout_us * INT64_C(1000);
	const int64_t give_up = monotonic_ns() + 10 * quiet;
	char junk[256];

	for (int64_t since = monotonic_ns();;) {
		const int64_t now = monotonic_ns();
		if (now - since >= quiet)
			return true;
		if (now >= give_up)
			return false;
		if (ready(fd, POLLIN,
		          static_cast<int>((quiet - (now - since) + 999999) /
		                           1000000))) {
			if (read(fd, junk, sizeof junk) <= 0)
				return true; // the port itself fails: reported
				             // next
			since = monotonic_ns();
		}
	}
}

// The request, as the user numbers its registers.
static int request_name(char *p, size_t n)
{
	return snprintf(p, n, "unit %ld, %s registers %ld to %ld", unit,
	                table == 4 ? "holding" : "input", reference,
	                reference + 2 * pairs - 1);
}

// Whether e is a Modbus exception, the device's answer to a request it
// refused.
static bool is_exception(int e)
{
	return e > MODBUS_ENOBASE && (e <= EMBXGTAR || e == EMBBADEXC);
}

// The status of a reading that failed by the error e: 3 for an exception
// that the request itself caused, 2 for any other.
static int status_of(int e)
{
	return is_exception(e) && e != EMBXGPATH && e != EMBXGTAR ? 3 : 2;
}

// Says why the request failed by the error e, and leaves the connection
// so that no late answer reaches a later request: over TCP, closed unless
// the device answered with an exception; on a serial line, to be drained,
// and closed only where the port itself failed.  Returns the status.
static int request_failed(int e)
{
	const auto n = static_cast<size_t>(request_name(reason, sizeof reason));

	if (e == ETIMEDOUT)
		snprintf(reason + n, sizeof reason - n,
		         ": no answer within %g s", timeout_s());
	else
		snprintf(reason + n, sizeof reason - n, ": %s",
		         modbus_strerror(e));
	if (is_exception(e)) {
		used = true;
		return status_of(e);
	}
	if (!serial || (e != ETIMEDOUT && e < MODBUS_ENOBASE))
		disconnect();
	else
		dirty = true;
	return 2;
}

// Makes one reading into words, the time its request was sent into *when;
// returns 0, or the status of the failure with its reason in reason.
static int read_device(uint16_t *words, timespec *when)
{
	const int address = static_cast<int>(reference - (from_zero ? 0 : 1));
	const int count = static_cast<int>(2 * pairs);

	for (;;) {
		const bool idle = connected && used;
		clock_gettime(CLOCK_REALTIME, when);
		if (!connected) {
			if (!(serial ? open_line() : connect_host()))
				return 2;
			connected = true;
			used = false;
			clock_gettime(CLOCK_REALTIME, when);
		}
		if (serial)
			tcflush(modbus_get_socket(ctx), TCIFLUSH);
		const int rc = table == 4 ? modbus_read_registers(ctx, address,
		                                                  count, words)
		                          : modbus_read_input_registers(
						    ctx, address, count, words);
		if (rc == count) {
			used = true;
			return 0;
		}
		const int e = rc < 0 ? errno : EMBBADDATA;
		// A device may close a connection that stays idle: the
		// request goes once more on a new one.
		if (serial || !idle || (e != ECONNRESET && e != EPIPE))
			return request_failed(e);
		disconnect();
	}
}

// The reasons written since the last reading that succeeded.
static char written[8][sizeof reason];
static int nwritten;

static bool already_written()
{
	for (int i = 0; i < nwritten; i++)
		if (strcmp(written[i], reason) == 0)
			return true;
	if (nwritten < 8)
		memcpy(written[nwritten++], reason, sizeof reason);
	return false;
}

// Writes the lines of a reading in one write.
static void print_reading(const uint16_t *words, const timespec &when)
{
	static char out[62 * (24 + line_max)];
	char *p = out;

	for (long i = 0; i < pairs; i++) {
		if (stamped)
			p = stamp_from_time(p, when);
		const hw_word first = words[2 * i];
		const hw_word second = words[2 * i + 1];
		p = line_from_hw(p, swapped ? second : first,
		                 swapped ? first : second);
	}
	write_lines(progname, out, static_cast<size_t>(p - out));
}

// Reads the options and the operand, and checks them all before anything
// is opened.
static void read_options(int argc, char *argv[])
{
	int c = 0;

	// Options come before the operand, in every C library.
	opterr = 0;
	while ((c = getopt(argc, argv, "+0RsTa:r:t:c:n:o:l:p:b:P:S:")) != -1) {
		if (c == '0')
			from_zero = true;
		else if (c == 'R')
			rs485 = true;
		else if (c == 's')
			swapped = true;
		else if (c == 'T')
			stamped = true;
		else if (c == '?')
			usage();
		else
			texts[c] = optarg;
	}
	if (argc - optind != 1)
		usage();
	place = argv[optind];
	serial = strchr(place, '/') != nullptr;
	const bool serial_options = rs485 || given('b') != nullptr ||
	                            given('P') != nullptr ||
	                            given('S') != nullptr;
	if (serial ? given('p') != nullptr : serial_options)
		usage();
	check_request_options();
	check_device_options();
}

// Says what became of a reading: its lines, or its failure once since the
// last reading that succeeded.  Returns its status.
static int report(int rc, const uint16_t *words, const timespec &when)
{
	static long long failures;

	if (rc == 0) {
		if (failures > 0) {
			char text[64];
			snprintf(text, sizeof text,
			         "answering again after %lld failed readings",
			         failures);
			message(when, text);
		}
		failures = 0;
		nwritten = 0;
		print_reading(words, when);
		return 0;
	}
	if (dirty && !drain_line())
		snprintf(reason, sizeof reason,
		         "the line was not quiet for %g s within %g s",
		         timeout_s(), 10 * timeout_s());
	dirty = false;
	failures++;
	if (!already_written())
		message(when, reason);
	return rc;
}

int main(int argc, char *argv[])
{
	// Buffered, so that each message goes out in one write.
	static char errbuf[BUFSIZ];

	progname = quoted_name(argv[0], "hwstep-modbus");
	setvbuf(stderr, errbuf, _IOFBF, sizeof errbuf);
	read_options(argc, argv);

	ctx = serial ? modbus_new_rtu(place, static_cast<int>(baud), parity, 8,
	                              static_cast<int>(stop_bits))
	             : modbus_new_tcp_pi(nullptr, port);
	if (ctx == nullptr ||
	    modbus_set_slave(ctx, static_cast<int>(unit)) != 0 ||
	    modbus_set_response_timeout(
		    ctx, static_cast<uint32_t>(timeout_us / 1000000),
		    static_cast<uint32_t>(timeout_us % 1000000)) != 0) {
		fprintf(stderr, "%s: %s\n", progname, modbus_strerror(errno));
		exit(2);
	}

	uint16_t words[MODBUS_MAX_READ_REGISTERS];
	const int64_t interval = interval_ms * INT64_C(1000000);
	int64_t next = monotonic_ns();
	int status = 0;
	for (long long done = 0; readings == 0 || done < readings; done++) {
		if (done > 0)
			sleep_until(next);
		timespec when{};
		const int64_t start = monotonic_ns();
		const int rc = report(read_device(words, &when), words, when);
		if (rc > status)
			status = rc;
		// The next reading starts an interval after this one began,
		// or at the first start to come where this one took longer;
		// after a failure, a second later at the least.
		const int64_t now = monotonic_ns();
		const int64_t earliest = rc == 0 ? now : now + 1000000000;
		next = start + interval;
		if (interval > 0 && next < earliest)
			next += (earliest - next + interval - 1) / interval *
			        interval;
		else if (next < earliest)
			next = earliest;
	}
	disconnect();
	modbus_free(ctx);
	exit(status);
}
