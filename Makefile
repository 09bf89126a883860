# The two commands: `make run` builds and runs latmeter here; `make test`
# builds every preset and runs every test. `make dist` writes the release
# archives. Each installs what is missing.
PRESETS := native native-asan aarch64 armhf aarch64-static armhf-static
DIST_PRESETS := aarch64-static armhf-static
RUN_PKGS := g++ cmake ninja-build
DIST_PKGS := $(RUN_PKGS) g++-aarch64-linux-gnu g++-arm-linux-gnueabihf binutils
TEST_PKGS := $(DIST_PKGS) python3 qemu-user strace util-linux mount clang-format clang-tidy cppcheck \
	shellcheck git
# The guests boot this release's own Arm kernels, with the emulator that
# boots them; without their recommends, which would bring a whole desktop for
# the emulator's window.
RELEASE := $(shell . /etc/os-release && echo "$$VERSION_ID")
GUEST_PKGS := qemu-system-arm device-tree-compiler debian-installer-$(RELEASE)-netboot-arm64 \
	debian-installer-$(RELEASE)-netboot-armhf
# Not every release packages LAVA's dispatcher; without it, its jobs are skipped.
LAB_PKGS := lava-dispatcher
# Debian's arm64 kernel with 16 KiB pages, the newest of its 6.12 ones; only
# the kernel image is kept.
KERNEL_16K := build/kernels/arm64-16k/vmlinuz
KERNEL_16K_PKG := ^linux-image-6\.12\.[0-9.]+\+deb[0-9]+-arm64-16k-unsigned$$
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

# The same, for those of them that this release packages at all.
define install_if_packaged
	$(call install,$$(for p in $(1); do apt-cache show $$p >/dev/null 2>&1 && echo $$p; done),$(2))
endef

.PHONY: run test dist deps-run deps-test deps-dist kernel-16k clean

run: deps-run
	cmake --preset native-run
	cmake --build --preset native-run
	./build/native-run/latmeter/latmeter

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
	$(call install_if_packaged,$(LAB_PKGS),--no-install-recommends)
	@[ -f $(KERNEL_16K) ] || $(MAKE) --no-print-directory kernel-16k

# Through dpkg's multiarch, which arm64 packages need on this machine.
kernel-16k:
	@dpkg --print-foreign-architectures | grep -qx arm64 || \
		{ $(SUDO) dpkg --add-architecture arm64 && $(SUDO) apt-get update -qq; }
	rm -rf $(dir $(KERNEL_16K)) && mkdir -p $(dir $(KERNEL_16K))
	cd $(dir $(KERNEL_16K)) && \
		pkg=$$(apt-cache search --names-only '$(KERNEL_16K_PKG)' | cut -d' ' -f1 | sort -V | tail -n1) && \
		echo "fetching $${pkg:?no arm64 16k kernel in this release}" && \
		apt-get download -qq -o APT::Sandbox::User=root "$$pkg:arm64" && \
		dpkg-deb --fsys-tarfile *.deb | tar -x --wildcards './boot/vmlinuz-*' && \
		mv boot/vmlinuz-* vmlinuz && rm -rf boot *.deb

clean:
	rm -rf build dist
