"""The cases the emulated 32-bit bench runs in every CI (STUB_SUBSET=emu32).

They are chosen for what differs between the shipped 32-bit image and the
64-bit test build that the rest of CI runs: the post-link step and the
linker script, i686 code (stdcall, 64-bit offsets in 32-bit registers, the
stack, the fault filter) and the functions looked up at run time
(FtpCommandA, MoveFileExA, AllowSetForegroundWindow). Each entry is a
case's file and name, or a prefix of it (every parameter), with its reason.
"""

SUBSET = [
    # The whole run, both protocols: the image as linked and post-linked
    # loads, reads its stamp, downloads, starts the setup, sends its events.
    ("test_launch.py::test_http_run_from_start_to_finish", "whole run over HTTP"),
    ("test_launch.py::test_ftp_run_from_start_to_finish", "whole run over FTP"),
    ("test_launch.py::test_nginx_run_launches_the_setup", "whole run against a stock server"),
    ("test_launch.py::test_setup_gets_its_path_in_quotes_as_command_line", "the started process's command line"),
    ("test_launch.py::test_events_go_out_as_configured", "both events, as stamped"),
    # Continuations: offsets and sizes are 64-bit values in 32-bit registers.
    ("test_launch.py::test_cut_download_resumes_in_the_next_run", "a continuation across runs"),
    ("test_http.py::test_kept_file_past_2_gib", "HTTP offsets past 2 and 4 GiB, the seek's high word"),
    ("test_ftp.py::test_kept_file_past_2_gib", "FTP REST past 2 and 4 GiB"),
    ("test_continuation.py::test_http_continuation[honest-206]", "a proven HTTP continuation"),
    ("test_continuation.py::test_http_continuation[206-with-another-total]", "a refused HTTP continuation"),
    ("test_continuation.py::test_ftp_continuation[honest-rest]", "a proven FTP continuation"),
    ("test_continuation.py::test_ftp_continuation[rest-forgotten-at-type]", "a forgotten REST"),
    # FtpCommandA is looked up at run time and called through a pointer:
    # its calling convention only shows in a 32-bit image.
    ("test_ftp.py::test_data_handle_either_way_continues_after_rest", "FtpCommandA found, and the fallback"),
    ("test_ftp.py::test_client_without_ftp_command_fetches_the_whole_file[fresh]", "FtpCommandA missing"),
    ("test_ftp.py::test_client_without_ftp_command_fetches_the_whole_file[leftover]", "FtpCommandA missing, a kept file"),
    # Retries and the second server: waits, counts, the retry-after parse.
    ("test_retry.py::test_http_retries[two cuts, three retries]", "HTTP retries"),
    ("test_retry.py::test_http_retries[retry-after]", "a server's Retry-After"),
    ("test_retry.py::test_ftp_retries[two cuts, two retries]", "FTP retries"),
    ("test_retry.py::test_malformed_retries_text_is_a_broken_distribution[b'99999999999']",
     "a count past 32 bits"),
    ("test_retry.py::test_fallback[refused after its retries]", "the second server after retries"),
    ("test_retry.py::test_fallback[404 at once]", "the second server at once"),
    ("test_retry.py::test_fallback[both fail]", "both servers failing"),
    ("test_retry.py::test_ftp_second_server_continues_what_the_first_left", "FTP mirror continuing"),
    # The fault filter: x86 unwinding is frame-based, x64's table-based.
    ("test_run.py::test_error_box_names_the_real_problem[fault]", "the fault box"),
    ("test_soak.py::test_install_exe_reports_a_fault_in_the_ftp_client_and_resumes", "a fault in the FTP client"),
    ("test_launch.py::test_fault_on_a_ping_thread_ends_that_thread_silently", "a fault on a ping thread"),
    # The pin: SHA-256 in i686 code, and the file held until it starts.
    ("test_pin.py::test_pinned_distribution[right pin]", "a pinned run"),
    ("test_pin.py::test_pinned_distribution[right pin, resumed after a cut]", "a pin over a continuation"),
    ("test_pin.py::test_pinned_distribution[wrong pin]", "a pin mismatch"),
    ("test_pin.py::test_pinned_distribution[right pin, ftp]", "a pinned FTP run"),
    ("test_pin.py::test_stub_hash_equals_hashlib[55]", "the hash at its padding edge"),
    ("test_pin.py::test_stub_hash_equals_hashlib[56]", "the hash past its padding edge"),
    ("test_pin.py::test_stub_hash_equals_hashlib[5242883]", "the hash over many chunks"),
    ("test_launch.py::test_started_file_is_held_from_its_check_to_its_start", "the file held to its start"),
    # The progress dialog and cancel.
    ("test_progress.py::test_dialog_follows_a_download_and_survives_declined_cancels", "the dialog and its cancel"),
    ("test_progress.py::test_quiet_dialog_still_asks_and_yes_stops_everything", "the quiet dialog's cancel"),
    ("test_launch.py::test_cancel_starts_nothing_and_keeps_the_partial_file", "cancel, both protocols"),
    ("test_launch.py::test_cancel_while_the_server_holds_the_body_ends_the_run", "cancel of a silent server"),
    # The single instance: AllowSetForegroundWindow is looked up at run time.
    ("test_run.py::test_failed_download_shows_box_and_second_copy_returns_minus_one", "the second copy"),
    ("test_run.py::test_second_copy_lets_the_first_take_the_foreground_before_it_asks",
     "AllowSetForegroundWindow"),
    ("test_run.py::test_second_copy_brings_the_first_ones_dialog_to_the_front", "the first copy's dialog"),
    ("test_run.py::test_two_products_run_side_by_side", "two products, two instances"),
    # MoveFileExA is looked up at run time; the error box's texts.
    ("test_launch.py::test_delete_at_reboot_falls_back_to_wininit", "MoveFileExA missing"),
    ("test_launch.py::test_stale_file_of_the_launch_name_is_replaced", "the launch name taken"),
    ("test_launch.py::test_failures_show_the_error_box", "the error box"),
    ("test_run.py::test_error_box_uses_the_system_text_when_there_is_one", "the system's error texts"),
]


def in_subset(file_and_name: str) -> bool:
    """Whether a case (its file's name, '::', its name with parameters) is in
    the subset: named whole, or every parameter of a named function."""
    for entry, _reason in SUBSET:
        if file_and_name == entry or file_and_name.startswith(entry + "["):
            return True
    return False
