# The two commands: `make run` builds and runs latmeter here; `make test`
# builds every preset and runs every test. Both install what is missing.
PRESETS := native native-asan aarch64 armhf aarch64-static armhf-static
RUN_PKGS := g++ cmake ninja-build
TEST_PKGS := $(RUN_PKGS) python3 g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user \
	binutils strace util-linux mount clang-format clang-tidy cppcheck
# Debian's own Arm kernels, and the emulator that boots them; without their
# recommends, which would bring a whole desktop for the emulator's window.
GUEST_PKGS := qemu-system-arm debian-installer-12-netboot-arm64 debian-installer-12-netboot-armhf
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# Installs those of the named Debian packages that are not installed yet,
# with any further apt-get options.
define install
	@missing=$$(for p in $(1); do \
		dpkg-query -W -f '$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "installing:" $$missing; \
		$(SUDO) apt-get update -qq && \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(2) $$missing; \
	fi
endef

.PHONY: run test deps-run deps-test clean

run: deps-run
	cmake --preset native
	cmake --build --preset native
	./build/native/latmeter/latmeter

test: deps-test
	@for p in $(PRESETS); do \
		echo "== $$p"; \
		cmake --preset $$p >/dev/null && cmake --build --preset $$p && \
		ctest --preset $$p || exit 1; \
	done

deps-run:
	$(call install,$(RUN_PKGS))

deps-test:
	$(call install,$(TEST_PKGS))
	$(call install,$(GUEST_PKGS),--no-install-recommends)

clean:
	rm -rf build
