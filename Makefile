# tarnboot: `make run` boots ./board on this terminal, `make test` runs every test.
BUILD ?= build
SANITIZE ?= 0
JOBS ?= 2
BOARD ?= ./board
RUNFLAGS ?=

TEST_PACKAGES = python3-pexpect lrzsz telnet cmake g++ zlib1g-dev libgtest-dev libbenchmark-dev
# The cross build: compiler, emulator, apt-get source's unpacker, GoogleTest's sources.
TARGET_PACKAGES = python3-pexpect lrzsz telnet cmake make g++-powerpc-linux-gnu qemu-user dpkg-dev libgtest-dev
TARGET_BUILD ?= build-ppc

.PHONY: all build run test deps clean deps-target test-target

all: build

# The project's own checks build with warnings as errors.
build:
	cmake -S . -B $(BUILD) -DTARN_WERROR=ON -DTARN_SANITIZE=$(if $(filter 1,$(SANITIZE)),ON,OFF) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/tarnboot --board $(BOARD) $(RUNFLAGS)

# Installs the packages named ($(1)) when they are missing, as root with
# apt-get and its options $(3); otherwise names them and the target ($(2)).
define install-missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq $(3) $$missing >/dev/null; \
	  else \
	    echo "Missing packages:$$missing (run 'make $(2)' as root, or install them)"; exit 1; \
	  fi; \
	fi
endef

# Installs what the tests need when it is missing.
deps:
	$(call install-missing,$(TEST_PACKAGES),deps)

test: deps build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The suite on the board's data model: built for 32-bit big-endian PowerPC
# with Debian's cross compiler and run under QEMU's user-mode emulator. zlib
# and GoogleTest are built for it once, into $(TARGET_BUILD)/deps. The
# emulator is named to the tests, never registered machine-wide: its package's
# recommended binfmt registration is not installed. Where $(BUILD) holds this
# host's build, a system test moves boards between it and the cross build.
deps-target:
	$(call install-missing,$(TARGET_PACKAGES),deps-target,--no-install-recommends)
	JOBS=$(JOBS) bash cmake/powerpc-deps.sh $(TARGET_BUILD)/deps

# (Without debug information, which takes a fifth of the cross build's time.)
test-target: deps-target
	cmake -S . -B $(TARGET_BUILD) --no-warn-unused-cli -DTARN_WERROR=ON -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
	  -DCMAKE_PREFIX_PATH=$(CURDIR)/$(TARGET_BUILD)/deps -DTARN_PEER_TARNBOOT=$(CURDIR)/$(BUILD)/tarnboot >/dev/null
	cmake --build $(TARGET_BUILD) -j$(JOBS)
	cd $(TARGET_BUILD) && ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf build build-asan $(TARGET_BUILD)
