// A person opens a wiki page from Fernhollow, writes a tiddler with non-ASCII
// text, presses the wiki's save button, and the page on disk is replaced while
// the previous one is kept in the backup folder. A wiki named in the user's
// own language, with a blank, opens from the list and saves the same way; when
// its save fails, the wiki shows the server's reason.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import {
    addTiddlerThroughEditor, backupDirName, screenshot, startWikiSite, uploadPassword, uploadPasswordScript, uploadUser, waitForWiki,
    watchPage, wikiFileName,
} from './support.mjs';

const firstTitle = 'Greeting from the browser';
const firstText = 'Grüße – 日本語 ✓';
const secondTitle = 'Second save';
const secondText = 'Ça marche encore — ünïcødé ½';
const localhostTitle = 'Saved from localhost';
const localhostText = 'Über localhost gespeichert — 保存 ✓';
const namedFileName = 'tiddly-Übersicht notes.html';

// The page bytes inside the upload the wiki sent: between the empty line
// after the file part's head and the closing delimiter.
function uploadedPage(upload) {
    const text = upload.toString('latin1');
    const head = text.indexOf('name="userfile"');
    assert.notEqual(head, -1, 'the upload has a userfile part');
    const start = text.indexOf('\r\n\r\n', head) + 4;
    const end = text.lastIndexOf('\r\n-----------------------------AaB03x--');
    assert.ok(start > 4 && end > start, 'the upload is framed as the upload saver frames it');
    return upload.subarray(start, end);
}

// Presses the wiki's save button and waits until the wiki itself says the
// save is done: the dirty marker is gone and the "Saved wiki" notice shows.
// Returns the request body the wiki sent.
async function saveThroughButton(page, server) {
    assert.equal(await page.evaluate(() => window.$tw.saverHandler.isDirty()), true);
    const consoleFrom = server.console().length;
    const [request] = await Promise.all([
        page.waitForRequest((r) => r.method() === 'POST' && r.url().endsWith('/savetiddly')),
        page.getByRole('button', { name: 'save changes' }).click(),
    ]);
    try {
        await page.locator('body:not(.tc-dirty)').waitFor({ state: 'attached' });
        await page.locator('.tc-notification', { hasText: 'Saved wiki' }).waitFor();
    } catch (error) {
        error.message += `\nthe wiki never reported the save as done; server console:\n${server.console()}`;
        throw error;
    }
    assert.equal(await page.evaluate(() => window.$tw.saverHandler.isDirty()), false);
    await server.waitForConsole('closing connection', consoleFrom);
    return request.postDataBuffer();
}

describe('saving a wiki page through Fernhollow', { timeout: 240000 }, () => {
    let site;
    let root;
    let pagePath;
    let backupPath;
    let server;
    let browser;

    before(async () => {
        site = await startWikiSite();
        ({ root, pagePath, backupPath, server, browser } = site);
    });

    after(async () => {
        await site?.close();
    });

    it('saves: the new page replaces the old one, the old one goes to the backup folder, a reload shows it', async () => {
        const context = await browser.newContext();
        // The upload password as the wiki's control panel would have stored it.
        await context.addInitScript(uploadPasswordScript, uploadPassword);
        const original = fs.readFileSync(pagePath);

        const page = await context.newPage();
        const seen = watchPage(page);
        await page.goto(`${server.origin}/${wikiFileName}`);
        await waitForWiki(page);
        assert.equal(await page.evaluate(() => window.$tw.saverHandler.isDirty()), false);

        await addTiddlerThroughEditor(page, firstTitle, firstText);
        const upload = await saveThroughButton(page, server);
        assert.deepEqual(seen.dialogs, [], 'the wiki reported no save error');
        assert.deepEqual(seen.errors, []);
        assert.ok(seen.console.some((line) => line.includes('through saver upload')),
            `the upload saver saved the wiki; browser console:\n${seen.console.join('\n')}`);
        // The upload carries the saver's options: user, password and backup folder.
        assert.ok(upload.includes(`backupDir=${backupDirName};user=${uploadUser};password=${uploadPassword};`));

        // On disk: exactly the page the browser sent, holding the new tiddler in UTF-8;
        // the backup is the page as it was before the save.
        const saved = fs.readFileSync(pagePath);
        assert.ok(saved.equals(uploadedPage(upload)), 'the page on disk is the uploaded page, byte for byte');
        assert.ok(saved.includes(Buffer.from(firstText, 'utf8')), 'the saved page holds the tiddler text in UTF-8');
        assert.ok(saved.includes(Buffer.from(firstTitle, 'utf8')));
        assert.ok(fs.readFileSync(backupPath).equals(original), 'the backup is the page before the save');
        assert.equal(fs.readdirSync(root).sort().join(','), [backupDirName, 'history', wikiFileName].sort().join(','),
            'no temporary file is left in the root');
        assert.deepEqual(fs.readdirSync(path.join(root, backupDirName)), [wikiFileName]);
        const versions = fs.readdirSync(path.join(root, 'history', wikiFileName));
        assert.equal(versions.length, 1, `one version in the page's history: ${versions}`);
        assert.ok(fs.readFileSync(path.join(root, 'history', wikiFileName, versions[0])).equals(original),
            'the version in the history is the page before the save');
        await screenshot(page, 'saves-after-save.png');

        // Loaded afresh from the server, the page opens the new tiddler by its permalink.
        const reloaded = await context.newPage();
        const reloadedSeen = watchPage(reloaded);
        await reloaded.goto(`${server.origin}/${wikiFileName}#${encodeURIComponent(firstTitle)}`);
        await waitForWiki(reloaded);
        const frame = reloaded.locator(`.tc-tiddler-view-frame[data-tiddler-title="${firstTitle}"]`);
        await frame.waitFor();
        assert.equal((await frame.locator('.tc-tiddler-body').textContent()).trim(), firstText);
        await screenshot(reloaded, 'saves-after-reload.png');

        // The saved page saves again: the backup now holds the first saved version.
        await addTiddlerThroughEditor(reloaded, secondTitle, secondText);
        const secondUpload = await saveThroughButton(reloaded, server);
        assert.deepEqual(reloadedSeen.dialogs, []);
        assert.deepEqual(reloadedSeen.errors, []);
        const savedAgain = fs.readFileSync(pagePath);
        assert.ok(savedAgain.equals(uploadedPage(secondUpload)));
        assert.ok(savedAgain.includes(Buffer.from(firstText, 'utf8')));
        assert.ok(savedAgain.includes(Buffer.from(secondText, 'utf8')));
        assert.ok(fs.readFileSync(backupPath).equals(saved), 'the backup is the page of the first save');

        const pageInRoot = `${root}${server.separator()}${wikiFileName}`;
        assert.match(server.console(), new RegExp(`writing data to file ${escapeRegExp(pageInRoot)}\\n`));
        await context.close();
    });

    it('saves from the same page opened as localhost', async () => {
        const context = await browser.newContext();
        await context.addInitScript(uploadPasswordScript, uploadPassword);
        const before = fs.readFileSync(pagePath);
        const page = await context.newPage();
        const seen = watchPage(page);
        await page.goto(`http://localhost:${server.port}/${wikiFileName}`);
        await waitForWiki(page);
        await addTiddlerThroughEditor(page, localhostTitle, localhostText);
        const upload = await saveThroughButton(page, server);
        assert.deepEqual(seen.dialogs, []);
        assert.deepEqual(seen.errors, []);
        const saved = fs.readFileSync(pagePath);
        assert.ok(saved.equals(uploadedPage(upload)), 'the page on disk is the uploaded page, byte for byte');
        assert.ok(saved.includes(Buffer.from(localhostText, 'utf8')));
        assert.ok(fs.readFileSync(backupPath).equals(before), 'the backup is the page before this save');
        await context.close();
    });
});

describe('a wiki named in the user\'s own language, with a blank', { timeout: 240000 }, () => {
    let site;

    before(async () => {
        site = await startWikiSite(namedFileName);
    });

    after(async () => {
        await site?.close();
    });

    it('opens from /tiddly by its link and saves, its backup made', async () => {
        const { server, pagePath, backupPath, root } = site;
        const context = await site.browser.newContext();
        await context.addInitScript(uploadPasswordScript, uploadPassword);
        const original = fs.readFileSync(pagePath);
        const list = await context.newPage();
        await list.goto(`${server.origin}/tiddly`);
        const [page] = await Promise.all([
            context.waitForEvent('page'),
            list.locator('tr', { hasText: namedFileName }).locator('td:first-child a').click(),
        ]);
        const seen = watchPage(page);
        await waitForWiki(page);
        // The browser asked for the name percent-encoded.
        assert.equal(new URL(page.url()).pathname, `/${encodeURIComponent(namedFileName)}`);

        await addTiddlerThroughEditor(page, firstTitle, firstText);
        const upload = await saveThroughButton(page, server);
        assert.deepEqual(seen.dialogs, []);
        assert.deepEqual(seen.errors, []);
        assert.ok(fs.readFileSync(pagePath).equals(uploadedPage(upload)), 'the named page holds the upload');
        assert.ok(fs.readFileSync(backupPath).equals(original), 'the backup is the page before the save');
        assert.deepEqual(fs.readdirSync(root).sort(), [backupDirName, 'history', namedFileName].sort());
        await context.close();
    });

    it('shows the server\'s message when the backup folder is missing, the page on disk unchanged', async () => {
        const { server, pagePath, root } = site;
        fs.rmSync(path.join(root, backupDirName), { recursive: true });
        const onDisk = fs.readFileSync(pagePath);
        const context = await site.browser.newContext();
        await context.addInitScript(uploadPasswordScript, uploadPassword);
        const page = await context.newPage();
        const seen = watchPage(page);
        await page.goto(`${server.origin}/${encodeURIComponent(namedFileName)}`);
        await waitForWiki(page);
        await addTiddlerThroughEditor(page, secondTitle, secondText);

        const [response, dialog] = await Promise.all([
            page.waitForResponse((r) => r.request().method() === 'POST' && r.url().endsWith('/savetiddly')),
            page.waitForEvent('dialog'),
            page.getByRole('button', { name: 'save changes' }).click(),
        ]);
        assert.equal(response.status(), 200);
        const message = await response.text();
        assert.match(message, new RegExp(`^Not saved: the backup folder '${backupDirName}' does not exist`));
        assert.equal(dialog.message(), `Error while saving:\n\n${message}`);
        assert.deepEqual(seen.dialogs, [dialog.message()]);
        assert.equal(await page.evaluate(() => window.$tw.saverHandler.isDirty()), true, 'the wiki still holds its edit');
        await screenshot(page, 'saves-backup-missing.png');

        assert.ok(fs.readFileSync(pagePath).equals(onDisk), 'the page on disk is unchanged');
        // The history holds the earlier save's version; the refused save added nothing.
        assert.deepEqual(fs.readdirSync(root).sort(), ['history', namedFileName].sort(), 'nothing else was written');
        assert.equal(fs.readdirSync(path.join(root, 'history', namedFileName)).length, 1);
        await context.close();
    });
});

function escapeRegExp(text) {
    return text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
}
