# Front door. On a fresh Debian machine:
#   make demo   set up, build and run the main job
#   make test   set up, build and run every test
# Sub-makes stay quiet, so that the test runners' own lines close the output.
MAKEFLAGS += --no-print-directory
BUILD_DIR ?= build
CLANG_BUILD_DIR ?= build-clang
PYTHON ?= /usr/bin/python3
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 120

.PHONY: all build build-clang bootstrap test unit-test fuzz-smoke e2e-test demo serve fuzz package deb bench bench-gateway clean

all: build

bootstrap:
	scripts/bootstrap

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j$$(nproc)

# The same tree built by clang, on the same mingw-w64 runtime: it keeps the
# code free of one compiler's dialect. Built only; the tests run on build/.
$(CLANG_BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(CLANG_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/clang-mingw-w64-x86_64.cmake $(CMAKE_FLAGS)

build-clang: $(CLANG_BUILD_DIR)/CMakeCache.txt
	cmake --build $(CLANG_BUILD_DIR) -j$$(nproc)

# Unit tests under CTest, then the end-to-end tests under pytest; each
# starts its own private Wine prefix.
test: bootstrap
	$(MAKE) build
	$(MAKE) build-clang
	$(MAKE) fuzz-smoke
	$(MAKE) unit-test
	$(MAKE) e2e-test

unit-test:
	ctest --test-dir $(BUILD_DIR) --output-on-failure
	$(PYTHON) -m pytest python/tests -q -p no:cacheprovider

# A short pass of every fuzz target; `make fuzz` runs the long ones.
fuzz-smoke:
	scripts/fuzz 10

# The long passes: every fuzz target for FUZZ_SECONDS, then the storm,
# load and STOP/TERMINATE phases against a live server (scripts/storm).
fuzz: bootstrap
	scripts/fuzz $(FUZZ_SECONDS)
	$(MAKE) build
	scripts/storm --bin $(abspath $(BUILD_DIR))/bin

e2e-test:
	DEVICERPC_BIN=$(abspath $(BUILD_DIR))/bin $(PYTHON) -m pytest tests/e2e -q -p no:cacheprovider --timeout 900

demo: bootstrap
	$(MAKE) build
	scripts/demo $(BUILD_DIR)/bin

# The status gateway over the sample printer until Ctrl-C, for a browser
# (GATEWAY_LISTEN=HOST:PORT, default 127.0.0.1:9464).
serve: bootstrap
	$(MAKE) build
	scripts/serve $(BUILD_DIR)/bin

# The versioned zip of the executables, the IDL and the documentation.
# Given a code-signing certificate and its key (as make variables or in the
# environment), every .exe and .dll in it is signed with Authenticode; the
# key's passphrase file and an RFC 3161 time-stamp server are optional
# (docs/signing.md). Unsigned without them. Beside it: the Debian packages,
# the Python wheel and sdist, each with its .sha256.
SIGN_CERT ?=
SIGN_KEY ?=
SIGN_PASS_FILE ?=
SIGN_TIMESTAMP ?=
package: build
	scripts/package $(BUILD_DIR) $(if $(SIGN_CERT),--sign-cert "$(SIGN_CERT)") \
	  $(if $(SIGN_KEY),--sign-key "$(SIGN_KEY)") $(if $(SIGN_PASS_FILE),--sign-pass-file "$(SIGN_PASS_FILE)") \
	  $(if $(SIGN_TIMESTAMP),--sign-timestamp "$(SIGN_TIMESTAMP)")
	scripts/deb --build $(BUILD_DIR)
	scripts/python-dist $(BUILD_DIR)/dist
	cd $(BUILD_DIR)/dist && for f in *.deb *.whl devicerpc-*.tar.gz; do sha256sum "$$f" > "$$f.sha256"; done

# The Linux side as Debian packages (python3-devicerpc, devicerpc-gateway),
# unsigned, into $(BUILD_DIR)/dist.
deb: bootstrap
	scripts/deb --build $(BUILD_DIR)

# The server against its baselines in a private Wine prefix (under ten
# minutes); writes bench/results/latest.md and latest.png.
bench: bootstrap
	BUILD_DIR=$(BUILD_DIR) scripts/bench

# The status gateway against direct calls and under 50 clients (a few
# minutes); writes bench/results/gateway.md.
bench-gateway: bootstrap
	BUILD_DIR=$(BUILD_DIR) scripts/bench --gateway

clean:
	rm -rf $(BUILD_DIR) $(CLANG_BUILD_DIR) build-fuzz
