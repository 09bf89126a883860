# The two commands: `make run` builds and runs latmeter here; `make test`
# builds every preset and runs every test. `make dist` writes the release
# archives. Each installs what is missing.
PRESETS := native native-asan aarch64 armhf aarch64-static armhf-static
DIST_PRESETS := aarch64-static armhf-static
RUN_PKGS := g++ cmake ninja-build
DIST_PKGS := $(RUN_PKGS) g++-aarch64-linux-gnu g++-arm-linux-gnueabihf binutils
TEST_PKGS := $(DIST_PKGS) python3 qemu-user strace util-linux mount clang-format clang-tidy cppcheck \
	shellcheck git
# Debian's own Arm kernels, the emulator that boots them, and LAVA's
# dispatcher; without their recommends, which would bring a whole desktop for
# the emulator's window.
GUEST_PKGS := qemu-system-arm device-tree-compiler debian-installer-12-netboot-arm64 \
	debian-installer-12-netboot-armhf lava-dispatcher
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

.PHONY: run test dist deps-run deps-test deps-dist clean

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

dist: deps-dist
	rm -rf dist
	@for p in $(DIST_PRESETS); do \
		cmake --preset $$p >/dev/null && cmake --build --preset $$p && \
		cpack --config build/$$p/CPackConfig.cmake -B dist || exit 1; \
	done
	rm -rf dist/_CPack_Packages
	cd dist && sha256sum *.tar.gz >SHA256SUMS && cat SHA256SUMS

deps-run:
	$(call install,$(RUN_PKGS))

deps-dist:
	$(call install,$(DIST_PKGS))

deps-test:
	$(call install,$(TEST_PKGS))
	$(call install,$(GUEST_PKGS),--no-install-recommends)

clean:
	rm -rf build dist
