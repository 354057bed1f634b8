# tarnboot: `make run` boots ./board on this terminal, `make test` runs every test.
BUILD ?= build
SANITIZE ?= 0
JOBS ?= 2
BOARD ?= ./board
RUNFLAGS ?=

TEST_PACKAGES = python3-pexpect lrzsz telnet cmake g++ zlib1g-dev libgtest-dev libbenchmark-dev

.PHONY: all build run test deps clean

all: build

# The project's own checks build with warnings as errors.
build:
	cmake -S . -B $(BUILD) -DTARN_WERROR=ON -DTARN_SANITIZE=$(if $(filter 1,$(SANITIZE)),ON,OFF) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/tarnboot --board $(BOARD) $(RUNFLAGS)

# Installs what the tests need when it is missing (as root, with apt-get).
deps:
	@missing=""; for p in $(TEST_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "Missing packages:$$missing (run 'make deps' as root, or install them)"; exit 1; \
	  fi; \
	fi

test: deps build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf build build-asan
